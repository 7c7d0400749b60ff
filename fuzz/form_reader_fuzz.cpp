// Arbitrary form data through ReadFormFields: no sanitizer finding, and a list that holds together.
// Input: the first byte picks the method (bit 0: GET with the rest as the query string up to its
// first NUL, else POST of the rest), ReadClient's chunk size (bits 1-2: 1, 7, 4096 or 65536 bytes)
// and the preloaded part (bits 3-4: none, 1 byte, half, all); bit 5 declares cbTotalBytes 10 bytes
// longer than the body, bit 6 declares it unknown (0xFFFFFFFF, a chunked body); bit 7 with byte 1
// 0xB1 (in every 256th run) extends the body past 1 MiB with its last byte repeated (one long value or upload; the value
// buffer then grows as values arrive), read in 64 KiB. The last byte,
// when its low three bits are all set, limits the read to 4 fields and names the upload directory;
// when bits 3-4 are set, the value buffer starts at 1 to 8 bytes. Large bodies are limited to 64
// fields.
// Uploads land in one private temporary directory, emptied now and then.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "isapi/httpext.h"
#include "gateway/form_reader.h"

namespace {

// The body is `rest`, then its last byte repeated up to `size` bytes.
struct Request {
  EXTENSION_CONTROL_BLOCK ecb;
  const uint8_t* rest;
  size_t restSize, size, served, chunk;
  std::string preload;
};

uint8_t BodyByte(const Request& request, size_t at) {
  return request.rest[at < request.restSize ? at : request.restSize - 1];
}

BOOL WINAPI ReadClient(HCONN conn, LPVOID buffer, LPDWORD size) {
  Request* request = static_cast<Request*>(conn);
  if (*size > 65536) std::abort();
  size_t n = *size < request->chunk ? *size : request->chunk;
  if (n > request->size - request->served) n = request->size - request->served;
  for (size_t k = 0; k < n; ++k) static_cast<uint8_t*>(buffer)[k] = BodyByte(*request, request->served + k);
  request->served += n;
  *size = static_cast<DWORD>(n);
  return TRUE;
}

BOOL WINAPI NoVariable(HCONN, LPSTR, LPVOID, LPDWORD) { return FALSE; }

const std::string& TempDir() {
  static const std::string dir = [] {
    // In memory where there is a tmpfs: uploads make and remove files all the time.
    char pattern[] = "/dev/shm/karvel-fuzz-form-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      std::strcpy(pattern, "/tmp/karvel-fuzz-form-XXXXXX");
      if (mkdtemp(pattern) == nullptr) std::abort();
    }
    setenv("TMPDIR", pattern, 1);
    return std::string(pattern);
  }();
  return dir;
}

void EmptyDirectory(const std::string& dir) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ignored)) {
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static size_t runs = 0;
  const std::string& dir = TempDir();
  if (++runs % 1000 == 0) EmptyDirectory(dir);
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  static const size_t kChunks[] = {1, 7, 4096, 65536};

  std::string query = (mode & 1) ? rest.substr(0, rest.find('\0')) : "";
  char method[8];
  std::strcpy(method, (mode & 1) ? "GET" : "POST");
  Request request{};
  request.rest = data + 1;
  request.restSize = size - 1;
  request.size = (mode & 1) ? 0 : size - 1;
  // Bodies past 1 MiB cost half a second each under the sanitizers: only where byte 1 asks too,
  // and only in the first run and every 256th (a lone input, as when a finding is replayed, always
  // gets its large body), so that the small inputs get their millions of runs.
  if ((mode & 0x80) && request.size > 1 && data[1] == 0xB1 && runs % 256 == 1) request.size = 1100000;
  // Large bodies come in whole chunks, as servers read them; byte by byte they would be slow to fuzz.
  request.chunk = request.size > 1000000 ? 65536 : kChunks[(mode >> 1) & 3];
  const size_t preloads[] = {0, request.size ? 1u : 0u, request.size / 2, request.size};
  request.served = std::min<size_t>(preloads[(mode >> 3) & 3], 49152);
  for (size_t k = 0; k < request.served; ++k) request.preload.push_back(static_cast<char>(BodyByte(request, k)));
  EXTENSION_CONTROL_BLOCK& ecb = request.ecb;
  ecb.cbSize = sizeof ecb;
  ecb.ConnID = &request;
  ecb.lpszMethod = method;
  ecb.lpszQueryString = query.data();
  ecb.cbTotalBytes = static_cast<DWORD>(request.size + ((mode & 0x20) && request.size ? 10 : 0));
  if (mode & 0x40) ecb.cbTotalBytes = 0xFFFFFFFF;
  ecb.cbAvailable = static_cast<DWORD>(request.served);
  ecb.lpbData = reinterpret_cast<uint8_t*>(request.preload.data());
  ecb.ReadClient = ReadClient;
  ecb.GetServerVariable = NoVariable;

  const bool limited = (data[size - 1] & 7) == 7;
  const std::string uploads = dir + "/VCU" + std::to_string(runs) + ".tmp";
  // A large body of a short repeated pattern is a flood of fields: past 64 the read stops, as a
  // site's limit stops it, so the runs go to long values instead.
  const bool big = request.size > 1000000;
  // Small inputs reach the value buffer's growth too: it starts at a few bytes where the last byte
  // says so.
  const uint32_t firstValueBytes = (data[size - 1] & 0x18) == 0x18 ? 1 + data[size - 1] / 32 : 0;
  const FormReadOptions options{limited ? uploads.c_str() : nullptr, limited ? 4 : (big ? 64 : 0), firstValueBytes, 0,
                                false, nullptr};
  int32_t count = -1;
  FormReadEnd end = kFormReadComplete;
  FormField* head = ReadFormFieldsWith(&ecb, &count, options, &end);
  if (count < 0 || (end != kFormReadComplete && head != nullptr)) std::abort();
  if (end == kFormReadTooManyFields && count != options.nMaxFields + 1) std::abort();
  int32_t records = 0;
  int32_t offset = 0;
  for (FormField* field = head; field != nullptr; field = field->pNext) {
    if (++records > count || field->pHead != head || field->nValueOffset != offset) std::abort();
    if (field->nValueLength < 0 || field->pValue != head->pValue + offset) std::abort();
    if (field->pValue[field->nValueLength] != '\0' || std::strlen(field->szName) > 255) std::abort();
    offset += field->nValueLength + 1;
  }
  if (head != nullptr && head->nValueOffset != 0) std::abort();
  FreeFormFields(head);
  return 0;
}
