#include "tools/run/tool_host.h"

#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

#include "platform/export.h"

namespace {

using GetExtensionVersionFunction = BOOL(WINAPI*)(HSE_VERSION_INFO*);
using HttpExtensionProcFunction = DWORD(WINAPI*)(EXTENSION_CONTROL_BLOCK*);
using TerminateExtensionFunction = BOOL(WINAPI*)(DWORD);

// What the server reads ahead into lpbData before the extension runs, as mod_karvel does.
constexpr size_t kPreloadBytes = 48 * 1024;
// The request's connection number: one connection, one request.
// TerminateExtension's HSE_TERM_MUST_UNLOAD: the host unloads it, no choice is left to it.
constexpr DWORD kMustUnload = 1;
const HCONN kConnection = reinterpret_cast<HCONN>(static_cast<uintptr_t>(1));

thread_local DWORD t_hostLastError = ERROR_SUCCESS;
ToolRequest* g_request = nullptr;  // the one request this process runs

BOOL Fail(DWORD code) {
  t_hostLastError = code;
  return FALSE;
}

BOOL Done() {
  t_hostLastError = ERROR_SUCCESS;
  return TRUE;
}

ToolRequest* RequestOf(HCONN conn) { return conn == kConnection ? g_request : nullptr; }

const std::string* FindVariable(const ToolRequest& request, const char* name) {
  for (const auto& variable : request.variables) {
    if (variable.first == name) return &variable.second;
  }
  return nullptr;
}

BOOL WINAPI GetServerVariableCallback(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size) {
  ToolRequest* request = RequestOf(conn);
  if (request == nullptr || name == nullptr || size == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  const DWORD room = *size;
  if (buffer != nullptr && room > 0) static_cast<char*>(buffer)[0] = '\0';
  const std::string* value = FindVariable(*request, name);
  if (value == nullptr) return Fail(ERROR_INVALID_INDEX);
  const size_t needed = value->size() + 1;
  if (buffer == nullptr || room < needed) {
    *size = static_cast<DWORD>(needed);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buffer, value->c_str(), needed);
  *size = static_cast<DWORD>(needed);
  return Done();
}

BOOL WINAPI ReadClientCallback(HCONN conn, LPVOID buffer, LPDWORD size) {
  ToolRequest* request = RequestOf(conn);
  if (request == nullptr || size == nullptr || (buffer == nullptr && *size != 0)) return Fail(ERROR_INVALID_PARAMETER);
  const std::string& body = request->form.body;
  const size_t left = body.size() - request->nBodyHanded;
  const size_t count = left < *size ? left : *size;
  if (count > 0) std::memcpy(buffer, body.data() + request->nBodyHanded, count);
  request->nBodyHanded += count;
  *size = static_cast<DWORD>(count);
  return Done();
}

BOOL WINAPI WriteClientCallback(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD reserved) {
  ToolRequest* request = RequestOf(conn);
  if (request == nullptr || bytes == nullptr || (buffer == nullptr && *bytes != 0)) return Fail(ERROR_INVALID_PARAMETER);
  if ((reserved & ~HSE_IO_SYNC) != 0) return Fail(ERROR_INVALID_PARAMETER);  // no asynchronous I/O here
  if (!TakeReplyBytes(&request->reply, static_cast<const char*>(buffer), *bytes)) {
    *bytes = 0;
    return Fail(ERROR_INVALID_PARAMETER);
  }
  return Done();
}

// `length` bytes of a file handle's file from `offset` (0: to its end) into the reply.
bool TakeFileElement(ToolRequest* request, const HSE_VECTOR_ELEMENT& element) {
  const int descriptor = DescriptorOfHandle(element.pvContext);
  if (descriptor < 0) return false;
  std::string bytes;
  char block[64 * 1024];
  off_t at = static_cast<off_t>(element.cbOffset);
  for (ULONGLONG left = element.cbSize; element.cbSize == 0 || left > 0;) {
    const size_t want = element.cbSize == 0 || left > sizeof block ? sizeof block : static_cast<size_t>(left);
    const ssize_t got = pread(descriptor, block, want, at);
    if (got < 0) return false;
    if (got == 0) break;
    bytes.append(block, static_cast<size_t>(got));
    at += got;
    if (element.cbSize != 0) left -= static_cast<ULONGLONG>(got);
  }
  // Raw bytes are typed and read as a response by their start, as the server's file reply does.
  return TakeReplyBytes(&request->reply, bytes.data(), bytes.size());
}

BOOL SendVector(ToolRequest* request, const HSE_RESPONSE_VECTOR* vector) {
  if (vector == nullptr || (vector->dwFlags & HSE_IO_ASYNC) != 0 ||
      (vector->nElementCount > 0 && vector->lpElementArray == nullptr)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  if ((vector->dwFlags & HSE_IO_SEND_HEADERS) != 0 &&
      !TakeResponseHeader(&request->reply, vector->pszStatus, vector->pszHeaders)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  for (DWORD k = 0; k < vector->nElementCount; ++k) {
    const HSE_VECTOR_ELEMENT& element = vector->lpElementArray[k];
    const bool taken = element.ElementType == HSE_VECTOR_ELEMENT_TYPE_MEMORY_BUFFER
                           ? element.pvContext != nullptr &&
                                 TakeReplyBytes(&request->reply, static_cast<const char*>(element.pvContext) + element.cbOffset,
                                                static_cast<size_t>(element.cbSize))
                           : element.ElementType == HSE_VECTOR_ELEMENT_TYPE_FILE_HANDLE && TakeFileElement(request, element);
    if (!taken) return Fail(ERROR_INVALID_PARAMETER);
  }
  return Done();
}

void TakeFailure(ToolRequest* request, const KARVEL_REQUEST_FAILURE& failure) {
  request->bFailureTold = true;
  request->failureText = failure.pszText != nullptr ? failure.pszText : failure.pszResult != nullptr ? failure.pszResult : "";
  request->failureReason = failure.pszReason != nullptr ? failure.pszReason : "";
  if (failure.pszProgram != nullptr) request->failureReason += std::string("; the program: ") + failure.pszProgram;
  if (failure.dwError != 0) request->failureReason += "; system error " + std::to_string(failure.dwError);
}

BOOL WINAPI ServerSupportFunctionCallback(HCONN conn, DWORD code, LPVOID buffer, LPDWORD size, LPDWORD dataType) {
  ToolRequest* request = RequestOf(conn);
  if (request == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  switch (code) {
    case HSE_REQ_SEND_RESPONSE_HEADER:
      // The header string travels in the data-type argument, as ISAPI lays it down.
      return TakeResponseHeader(&request->reply, static_cast<const char*>(buffer), reinterpret_cast<const char*>(dataType))
                 ? Done() : Fail(ERROR_INVALID_PARAMETER);
    case HSE_REQ_SEND_URL:
    case HSE_REQ_SEND_URL_REDIRECT_RESP: {
      if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
      const char* text = static_cast<const char*>(buffer);
      const std::string url = size != nullptr && *size > 0 ? std::string(text, strnlen(text, *size)) : std::string(text);
      return TakeUrlReply(&request->reply, url.c_str(), code == HSE_REQ_SEND_URL) ? Done() : Fail(ERROR_INVALID_PARAMETER);
    }
    case HSE_REQ_VECTOR_SEND:
      return SendVector(request, static_cast<const HSE_RESPONSE_VECTOR*>(buffer));
    case HSE_REQ_IS_CONNECTED:
      if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
      *static_cast<BOOL*>(buffer) = TRUE;
      return Done();
    case HSE_REQ_KARVEL_START_PROGRAM:
      if (buffer == nullptr || request->program.pid > 0) return Fail(ERROR_INVALID_PARAMETER);
      StartProgram(static_cast<KARVEL_PROGRAM_START*>(buffer), request->wine, &request->program);
      return Done();
    case HSE_REQ_KARVEL_PROGRAM_STATE:
      if (buffer == nullptr || request->program.pid <= 0) return Fail(ERROR_INVALID_PARAMETER);
      *static_cast<DWORD*>(buffer) = ProgramStillRuns(&request->program, size != nullptr ? *size : 0)
                                         ? KARVEL_PROGRAM_RUNNING : KARVEL_PROGRAM_EXITED;
      return Done();
    case HSE_REQ_KARVEL_PROGRAM_DONE:
      if (buffer == nullptr || request->program.pid <= 0) return Fail(ERROR_INVALID_PARAMETER);
      if (!static_cast<const KARVEL_PROGRAM_DONE*>(buffer)->bAnswered) StopProgram(&request->program);
      return Done();
    case HSE_REQ_KARVEL_FAILURE:
      if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
      TakeFailure(request, *static_cast<const KARVEL_REQUEST_FAILURE*>(buffer));
      return Done();
    case HSE_REQ_KARVEL_WARNING: {
      if (buffer == nullptr) return Fail(ERROR_INVALID_PARAMETER);
      const auto* warning = static_cast<const KARVEL_REQUEST_WARNING*>(buffer);
      std::string text = warning->pszText != nullptr ? warning->pszText : "";
      if (warning->pszPath != nullptr) text += std::string(": ") + warning->pszPath;
      request->warnings.push_back(text);
      return Done();
    }
    default:
      return Fail(ERROR_INVALID_PARAMETER);
  }
}

void FillControlBlock(ToolRequest* request, EXTENSION_CONTROL_BLOCK* ecb, std::vector<BYTE>* preload,
                      std::vector<std::string>* texts) {
  const std::string& body = request->form.body;
  const size_t preloaded = body.size() < kPreloadBytes ? body.size() : kPreloadBytes;
  preload->assign(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(preloaded));
  preload->push_back(0);
  request->nBodyHanded = preloaded;
  const auto text = [&](const char* name) {
    const std::string* value = FindVariable(*request, name);
    texts->push_back(value != nullptr ? *value : "");
    return const_cast<LPSTR>(texts->back().c_str());
  };
  texts->reserve(8);
  ecb->cbSize = sizeof(EXTENSION_CONTROL_BLOCK);
  ecb->dwVersion = (HSE_VERSION_MAJOR << 16) | HSE_VERSION_MINOR;
  ecb->ConnID = kConnection;
  ecb->dwHttpStatusCode = 200;
  ecb->lpszMethod = text("REQUEST_METHOD");
  ecb->lpszQueryString = text("QUERY_STRING");
  ecb->lpszPathInfo = text("PATH_INFO");
  ecb->lpszPathTranslated = text("PATH_TRANSLATED");
  ecb->lpszContentType = text("CONTENT_TYPE");
  // A body of 4 GiB or more has a length no DWORD holds: unknown, as the server says it.
  ecb->cbTotalBytes = body.size() >= 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(body.size());
  ecb->cbAvailable = static_cast<DWORD>(preloaded);
  ecb->lpbData = preload->data();
  ecb->GetServerVariable = GetServerVariableCallback;
  ecb->WriteClient = WriteClientCallback;
  ecb->ReadClient = ReadClientCallback;
  ecb->ServerSupportFunction = ServerSupportFunctionCallback;
}

}  // namespace

// The extension asks its host's last error through this name (GetHostLastError), as it asks
// mod_karvel's.
extern "C" KARVEL_EXPORT DWORD KarvelHostLastError(void) { return t_hostLastError; }

void AddRequestVariables(const std::string& remoteAddr, const std::string& remoteUser, ToolRequest* request) {
  const BuiltForm& form = request->form;
  const bool hasBody = form.method != "GET";
  const std::string script = "/VC_KARVEL2.dll";
  const std::pair<const char*, std::string> variables[] = {
      {"REQUEST_METHOD", form.method},
      {"QUERY_STRING", form.query},
      {"CONTENT_TYPE", form.contentType},
      {"CONTENT_LENGTH", hasBody ? std::to_string(form.body.size()) : ""},
      {"REMOTE_ADDR", remoteAddr},
      {"REMOTE_USER", remoteUser},
      {"AUTH_USER", remoteUser},
      {"LOGON_USER", remoteUser},
      {"UNMAPPED_REMOTE_USER", remoteUser},
      {"AUTH_TYPE", remoteUser.empty() ? "" : "Basic"},
      {"PATH_INFO", ""},
      {"PATH_TRANSLATED", ""},
      {"SCRIPT_NAME", script},
      {"URL", script},
      {"REQUEST_URI", script + (form.query.empty() ? "" : "?" + form.query)},
      {"SERVER_NAME", "localhost"},
      {"SERVER_PORT", "80"},
      {"SERVER_PORT_SECURE", "0"},
      {"HTTPS", "off"},
      {"SERVER_PROTOCOL", "HTTP/1.1"},
      {"SERVER_SOFTWARE", "karvel-run"},
      {"GATEWAY_INTERFACE", "CGI/1.1"},
      {"REMOTE_HOST", ""},
      {"REMOTE_PORT", "0"},
      {"LOCAL_ADDR", "127.0.0.1"},
      {"ALL_HTTP", form.contentType.empty() ? "" : "HTTP_CONTENT_TYPE:" + form.contentType + "\n"},
      {"ALL_RAW", form.contentType.empty() ? "" : "Content-Type: " + form.contentType + "\r\n"},
  };
  for (const auto& variable : variables) request->variables.emplace_back(variable.first, variable.second);
  if (!form.contentType.empty()) request->variables.emplace_back("HTTP_CONTENT_TYPE", form.contentType);
}

bool RunThroughExtension(const std::string& path, ToolRequest* request, DWORD* result, std::string* error) {
  // RTLD_LOCAL, as mod_karvel loads it: the extension's names stay its own.
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = dlerror();
    *error = "cannot load the extension " + path + ": " + (why != nullptr ? why : "unknown error");
    return false;
  }
  auto version = reinterpret_cast<GetExtensionVersionFunction>(dlsym(module, "GetExtensionVersion"));
  auto proc = reinterpret_cast<HttpExtensionProcFunction>(dlsym(module, "HttpExtensionProc"));
  auto terminate = reinterpret_cast<TerminateExtensionFunction>(dlsym(module, "TerminateExtension"));
  HSE_VERSION_INFO info{};
  if (version == nullptr || proc == nullptr) {
    *error = path + " is not an ISAPI extension";
    return false;
  }
  if (!version(&info)) {
    *error = "the extension " + path + " refused to start (GetExtensionVersion returned FALSE)";
    return false;
  }
  EXTENSION_CONTROL_BLOCK ecb{};
  std::vector<BYTE> preload;
  std::vector<std::string> texts;
  FillControlBlock(request, &ecb, &preload, &texts);
  g_request = request;
  *result = proc(&ecb);
  g_request = nullptr;
  if (terminate != nullptr) terminate(kMustUnload);
  // Not unloaded: the extension keeps a thread that reaps the programs it started (-z nodelete).
  return true;
}
