// An ISAPI extension for testing the host: the query string picks what it does with the
// callbacks, and the reply reports what the host answered, so the tests see the host's side of
// the contract through real HTTP.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "isapi/karvel_host.h"
#include "platform/export.h"

namespace {
HCONN g_lastConnId = nullptr;  // for the stale-ConnID case: a ConnID of an earlier request

DWORD HostLastError() {
  using Function = DWORD (*)();
  static auto function = reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, "KarvelHostLastError"));
  return function != nullptr ? function() : 0xFFFFFFFFu;
}

void SendText(EXTENSION_CONTROL_BLOCK* ecb, const std::string& text) {
  std::string header = "Content-Type: text/plain\r\n\r\n" + text;
  char status[] = "200 OK";
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status, nullptr,
                             reinterpret_cast<LPDWORD>(header.data()));
}

// "NAME result error size value" for one GetServerVariable call with a buffer of `room` bytes.
std::string Variable(EXTENSION_CONTROL_BLOCK* ecb, const char* name, DWORD room) {
  char buffer[4096];
  std::memset(buffer, '#', sizeof buffer);
  DWORD size = room;
  const BOOL ok = ecb->GetServerVariable(ecb->ConnID, const_cast<char*>(name), buffer, &size);
  const DWORD error = ok ? 0 : HostLastError();
  // Past the room the caller gave nothing may change.
  bool untouched = true;
  for (DWORD i = room; i < sizeof buffer; ++i) untouched &= buffer[i] == '#';
  char line[256];
  std::snprintf(line, sizeof line, "%s %d %u %u %s ", name, ok, static_cast<unsigned>(error),
                static_cast<unsigned>(size), untouched ? "clean" : "OVERRUN");
  return line + (ok || room > 0 ? std::string(buffer, strnlen(buffer, room < sizeof buffer ? room : sizeof buffer)) : std::string()) + "\n";
}

std::string ReadWholeBody(EXTENSION_CONTROL_BLOCK* ecb, DWORD piece) {
  uint64_t count = ecb->cbAvailable;
  uint32_t sum = 2166136261u;  // FNV-1a over every byte in order
  for (DWORD i = 0; i < ecb->cbAvailable; ++i) sum = (sum ^ ecb->lpbData[i]) * 16777619u;
  static thread_local char buffer[65536];
  int calls = 0;
  for (;;) {
    DWORD size = piece;
    if (!ecb->ReadClient(ecb->ConnID, buffer, &size) || size == 0) break;
    ++calls;
    for (DWORD i = 0; i < size; ++i) sum = (sum ^ static_cast<uint8_t>(buffer[i])) * 16777619u;
    count += size;
  }
  char line[160];
  std::snprintf(line, sizeof line, "total=%u available=%u read=%llu fnv=%08x calls=%d\n",
                static_cast<unsigned>(ecb->cbTotalBytes), static_cast<unsigned>(ecb->cbAvailable),
                static_cast<unsigned long long>(count), sum, calls);
  return line;
}

DWORD Run(EXTENSION_CONTROL_BLOCK* ecb) {
  const std::string what = ecb->lpszQueryString;
  if (what == "ecb") {
    SendText(ecb, std::string("method=") + ecb->lpszMethod + "\nquery=" + ecb->lpszQueryString +
                      "\npathinfo=" + ecb->lpszPathInfo + "\ntranslated=" + ecb->lpszPathTranslated +
                      "\ncontenttype=" + ecb->lpszContentType + "\ncbsize=" + std::to_string(ecb->cbSize) + "\n");
    return HSE_STATUS_SUCCESS;
  }
  if (what.rfind("vars", 0) == 0) {
    std::string out;
    for (const char* name : {"REMOTE_ADDR", "REMOTE_USER", "SERVER_NAME", "SERVER_PORT", "REQUEST_METHOD",
                             "QUERY_STRING", "CONTENT_TYPE", "CONTENT_LENGTH", "PATH_INFO", "SCRIPT_NAME",
                             "HTTP_X_PROBE_HEADER", "HTTPS", "ALL_HTTP", "NO_SUCH_VARIABLE", "HTTP_NOT_SENT"}) {
      out += Variable(ecb, name, 4096);
    }
    out += Variable(ecb, "REMOTE_ADDR", 3);   // too small
    out += Variable(ecb, "REMOTE_ADDR", 0);   // no room at all
    out += Variable(ecb, "REMOTE_ADDR", 10);  // "127.0.0.1" + NUL exactly
    SendText(ecb, out);
    return HSE_STATUS_SUCCESS;
  }
  if (what.rfind("read", 0) == 0) {
    SendText(ecb, ReadWholeBody(ecb, what == "read-small" ? 1000 : 65536));
    return HSE_STATUS_SUCCESS;
  }
  if (what == "raw-http") {
    char bytes[] = "HTTP/1.1 201 Made Here\r\nX-Probe: yes\r\nContent-Type: text/plain\r\n\r\nraw body";
    DWORD size = sizeof bytes - 1;
    ecb->WriteClient(ecb->ConnID, bytes, &size, HSE_IO_SYNC);
    char more[] = " and more";
    size = sizeof more - 1;
    ecb->WriteClient(ecb->ConnID, more, &size, HSE_IO_SYNC);
    return HSE_STATUS_SUCCESS;
  }
  if (what == "raw-pdf" || what == "raw-unknown") {
    char pdf[] = "%PDF-1.4\n1 0 obj\n<< /Type /Catalog >>\nendobj\n";
    char unknown[] = "\x01\x02\x03\x04\xfe\xfd";
    DWORD size = what == "raw-pdf" ? sizeof pdf - 1 : sizeof unknown - 1;
    ecb->WriteClient(ecb->ConnID, what == "raw-pdf" ? pdf : unknown, &size, HSE_IO_SYNC);
    return HSE_STATUS_SUCCESS;
  }
  if (what == "header-then-body" || what == "no-headers" || what == "headers-only") {
    char status[] = "202 Taken In";
    std::string header = what == "header-then-body" ? "Content-Type: text/plain\r\nSet-Cookie: a=b\r\n\r\nfirst,"
                          : what == "no-headers"    ? "<p>just a body</p>"
                                                    : "Content-Type: text/plain\r\nX-Only: headers\r\n";
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status, nullptr,
                               reinterpret_cast<LPDWORD>(header.data()));
    char more[] = "second";
    DWORD size = sizeof more - 1;
    ecb->WriteClient(ecb->ConnID, more, &size, HSE_IO_SYNC);
    return HSE_STATUS_SUCCESS;
  }
  if (what == "big") {  // 3 MiB in 64 KiB writes: more than the host holds back
    static thread_local char block[65536];
    char status[] = "200 OK";
    char header[] = "Content-Type: application/octet-stream\r\n\r\n";
    ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status, nullptr,
                               reinterpret_cast<LPDWORD>(header));
    for (int i = 0; i < 48; ++i) {
      std::memset(block, 'a' + i % 26, sizeof block);
      DWORD size = sizeof block;
      ecb->WriteClient(ecb->ConnID, block, &size, HSE_IO_SYNC);
    }
    return HSE_STATUS_SUCCESS;
  }
  if (what == "url-injection") {
    std::string out;
    for (DWORD request : {DWORD{HSE_REQ_SEND_URL_REDIRECT_RESP}, DWORD{HSE_REQ_SEND_URL}}) {
      char url[] = "/x\r\nSet-Cookie: injected=1";
      DWORD size = sizeof url;
      const BOOL ok = ecb->ServerSupportFunction(ecb->ConnID, request, url, &size, nullptr);
      out += "request " + std::to_string(request) + " " + std::to_string(ok) + " " + std::to_string(HostLastError()) + "\n";
    }
    const BOOL unknown = ecb->ServerSupportFunction(ecb->ConnID, 9999, nullptr, nullptr, nullptr);
    out += "request 9999 " + std::to_string(unknown) + " " + std::to_string(HostLastError()) + "\n";
    SendText(ecb, out);
    return HSE_STATUS_SUCCESS;
  }
  if (what == "stale-connid") {
    std::string out;
    char buffer[64];
    DWORD size = sizeof buffer;
    HCONN stale = g_lastConnId != nullptr ? g_lastConnId : reinterpret_cast<HCONN>(uintptr_t{0x7fffffff});
    out += "stale " + std::to_string(ecb->GetServerVariable(stale, const_cast<char*>("REMOTE_ADDR"), buffer, &size)) + "\n";
    char text[] = "x";
    DWORD one = 1;
    out += "write " + std::to_string(ecb->WriteClient(stale, text, &one, HSE_IO_SYNC)) + "\n";
    out += "same " + std::to_string(stale == ecb->ConnID) + "\n";
    SendText(ecb, out);
    g_lastConnId = ecb->ConnID;
    return HSE_STATUS_SUCCESS;
  }
  if (what == "error-after-reply") {
    SendText(ecb, "partial reply");
    return HSE_STATUS_ERROR;
  }
  if (what == "error-only") return HSE_STATUS_ERROR;
  if (what == "hostile-failure") {
    // Reports a host must take whatever they hold: none, empty, and one with a line break, a
    // status out of range and texts far longer than any of the extension's own.
    std::string out = "null " + std::to_string(ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_KARVEL_FAILURE,
                                                                          nullptr, nullptr, nullptr));
    KARVEL_REQUEST_FAILURE empty{};
    out += " empty " + std::to_string(ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_KARVEL_FAILURE, &empty,
                                                                 nullptr, nullptr));
    const std::string longText(100000, 'r');
    KARVEL_REQUEST_FAILURE odd{"probe-result\nInjected: 1", longText.c_str(), "prog\nFAKE LINE",
                               longText.c_str(), 99999, 999, TRUE};
    out += " odd " + std::to_string(ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_KARVEL_FAILURE, &odd,
                                                               nullptr, nullptr));
    SendText(ecb, out);
    return HSE_STATUS_ERROR;
  }
  if (what == "log") {
    std::memcpy(ecb->lpszLogData, "probe-log-entry", 16);
    SendText(ecb, "logged");
    return HSE_STATUS_SUCCESS;
  }
  SendText(ecb, "unknown probe " + what);
  return HSE_STATUS_SUCCESS;
}
}  // namespace

extern "C" KARVEL_EXPORT BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = (HSE_VERSION_MAJOR << 16) | HSE_VERSION_MINOR;
  std::strcpy(version->lpszExtensionDesc, "karvel host probe");
#ifdef PROBE_REFUSES_TO_START
  return FALSE;
#else
  return TRUE;
#endif
}

extern "C" KARVEL_EXPORT DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  // Before the query is even looked at: the host's callbacks with this ConnID work.
  return Run(ecb);
}
