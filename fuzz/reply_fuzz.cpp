// Answers of any content and size through the extension's reply and the host's reading of it: no
// sanitizer finding, and what reaches the client holds together.
// Input: byte 0 picks the result code (bits 0-1: '1' page, '2' URL, '4' file named by the answer,
// '4' naming a file that holds the rest), whether the server takes vector sends (bit 2) and when
// the client leaves (bits 3-4: never, after 1, 70 000 or 3 000 000 bytes); byte 1 the size class the
// answer (or the named file) is grown to with a sparse tail: as it is, 65 535, 65 536, 65 537,
// 1 048 579 or 4 GiB + 16 bytes. The rest is the answer area (or the named file's first bytes).
// The client's side reads what it gets as the host does: header blocks line by line, whole "HTTP/"
// responses by their status line, URLs for control bytes.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>

#include "gateway/answer_reply.h"
#include "host/reply_text.h"
#include "isapi/httpext.h"

namespace {

struct Client {
  EXTENSION_CONTROL_BLOCK ecb;
  bool vectors;
  uint64_t leaveAfter, received;
  bool started;  // something was sent
};

void Check(bool condition) {
  if (!condition) std::abort();
}

// The host's reading of a header-and-data string: header lines until the empty one, none longer
// than the scanner's buffer, every byte accounted for.
void ReadHeaderString(const char* text) {
  const char* end = text + std::strlen(text);
  if (!StartsWithHeaderBlock(text, end)) return;
  HeaderCursor cursor{text, end, false, false};
  char line[8192];
  size_t seen = 0;
  int lines = 0;
  while (NextHeaderLine(line, sizeof line, &cursor) != 0) {
    const size_t length = std::strlen(line);
    Check(length < sizeof line);
    seen += length;
    Check(++lines <= static_cast<int>(end - text) + 1);
    if (length == 0 || (length <= 2 && (line[0] == '\n' || line[0] == '\r'))) break;
  }
  Check(seen <= static_cast<size_t>(end - text));
}

// The host's reading of the first bytes of raw output: a whole response, or bytes to type.
void ReadFirstBytes(const char* bytes, size_t size) {
  const char* status = nullptr;
  const char* statusEnd = nullptr;
  const char* lineEnd = nullptr;
  if (size >= 5 && std::memcmp(bytes, "HTTP/", 5) == 0 && FindStatusLine(bytes, bytes + size, &status, &statusEnd, &lineEnd)) {
    Check(bytes < status && status < statusEnd && statusEnd < lineEnd && lineEnd <= bytes + size);
    const std::string code(status, statusEnd);
    Check(ParseStatus(code.c_str()) >= 200);
    HeaderCursor cursor{lineEnd, bytes + size, false, false};
    char line[8192];
    for (int k = 0; k < 200 && NextHeaderLine(line, sizeof line, &cursor) != 0; ++k) Check(std::strlen(line) < sizeof line);
  }
}

// `count` bytes reach the client, of which the first `shown` are at `bytes`.
bool Deliver(Client* client, const char* bytes, size_t shown, uint64_t count) {
  if (!client->started) ReadFirstBytes(bytes, shown);
  client->started = true;
  if (client->received + count > client->leaveAfter) return false;
  client->received += count;
  return true;
}

BOOL WINAPI WriteClient(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD) {
  Check(*bytes <= ANSWER_BLOCK_BYTES);
  return Deliver(static_cast<Client*>(conn), static_cast<const char*>(buffer), *bytes, *bytes);
}

BOOL WINAPI ServerSupportFunction(HCONN conn, DWORD request, LPVOID buffer, LPDWORD size, LPDWORD dataType) {
  Client* client = static_cast<Client*>(conn);
  switch (request) {
    case HSE_REQ_SEND_RESPONSE_HEADER:
      Check(!client->started);
      client->started = true;
      ReadHeaderString(reinterpret_cast<const char*>(dataType));
      Check(std::strlen(reinterpret_cast<const char*>(dataType)) <= ANSWER_BLOCK_BYTES);
      return TRUE;
    case HSE_REQ_SEND_URL:
    case HSE_REQ_SEND_URL_REDIRECT_RESP: {
      const char* url = static_cast<const char*>(buffer);
      Check(*size == std::strlen(url) + 1 && *size <= ANSWER_URL_LIMIT + 1);
      Check((request == HSE_REQ_SEND_URL) == (url[0] == '/'));
      UsableUrl(url);
      return TRUE;
    }
    case HSE_REQ_VECTOR_SEND: {
      if (!client->vectors) return FALSE;
      const auto* vector = static_cast<const HSE_RESPONSE_VECTOR*>(buffer);
      Check(vector->nElementCount == 1 && vector->lpElementArray[0].ElementType == HSE_VECTOR_ELEMENT_TYPE_FILE_HANDLE);
      // The host reads the first bytes; the rest it would send without reading.
      char prefix[4096];
      const int fd = DescriptorOfHandle(vector->lpElementArray[0].pvContext);
      Check(fd >= 0);
      const ssize_t got = pread(fd, prefix, sizeof prefix, 0);
      Check(got >= 0);
      const uint64_t count = vector->lpElementArray[0].cbSize;
      return Deliver(client, prefix, static_cast<size_t>(got) < count ? static_cast<size_t>(got) : count, count) ? TRUE : FALSE;
    }
    default:
      std::abort();
  }
}

const std::string& Directory() {
  static const std::string dir = [] {
    // In memory where there is a tmpfs: each run makes, grows and removes two files.
    char pattern[] = "/dev/shm/karvel-fuzz-reply-XXXXXX";
    if (mkdtemp(pattern) != nullptr) return std::string(pattern);
    std::strcpy(pattern, "/tmp/karvel-fuzz-reply-XXXXXX");
    if (mkdtemp(pattern) == nullptr) std::abort();
    return std::string(pattern);
  }();
  return dir;
}

// Writes `bytes` to `path` and grows the file to `size` (no disk for the tail).
uint64_t WriteGrown(const std::string& path, const std::string& bytes, uint64_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Check(fd >= 0);
  Check(write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
  if (size > bytes.size()) Check(ftruncate(fd, static_cast<off_t>(size)) == 0);
  close(fd);
  return size > bytes.size() ? size : bytes.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t mode = data[0];
  static const uint64_t kSizes[] = {0, 65535, 65536, 65537, 1048579, (uint64_t{4} << 30) + 16};
  static const uint64_t kLeaves[] = {UINT64_MAX, 1, 70000, 200000};
  const uint64_t grownTo = kSizes[data[1] % 6];
  const std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
  const std::string exchange = Directory() + "/VC0000000000000000.tmp";
  const std::string named = Directory() + "/named.bin";

  static const char kCodes[] = {'1', '2', '4', '4'};
  const int kind = mode & 3;
  std::string answer = std::string("9") + kCodes[kind] + "  ";
  uint64_t answerSize = 0;
  if (kind == 3) {
    // A file answer naming a real file: its bytes are the rest, grown to the size class.
    WriteGrown(named, rest, grownTo);
    answerSize = WriteGrown(exchange, answer + named, 0);
  } else {
    answerSize = WriteGrown(exchange, answer + rest, grownTo);
  }
  // A client that stays would read a 4 GiB answer whole: such a client leaves after 200 000 bytes.
  uint64_t leaveAfter = kLeaves[(mode >> 3) & 3];
  if (grownTo > (1u << 24) && leaveAfter == UINT64_MAX) leaveAfter = 200000;

  Client client{};
  client.vectors = (mode & 4) != 0;
  client.leaveAfter = leaveAfter;
  EXTENSION_CONTROL_BLOCK& ecb = client.ecb;
  ecb.cbSize = sizeof ecb;
  ecb.ConnID = &client;
  ecb.WriteClient = WriteClient;
  ecb.ServerSupportFunction = ServerSupportFunction;
  DWORD result = 0;
  static ExchangeRequest request{};
  std::snprintf(request.szExchangePath, sizeof request.szExchangePath, "%s", exchange.c_str());
  switch (kCodes[kind]) {
    // No handle from a wait: each reply opens the exchange file by its path.
    case '1': result = ReplyWithAnswer(&ecb, kPageAnswer, request, INVALID_HANDLE_VALUE, answerSize); break;
    case '2': result = ReplyWithAnswer(&ecb, kUrlAnswer, request, INVALID_HANDLE_VALUE, answerSize); break;
    default: result = ReplyWithAnswer(&ecb, kFileAnswer, request, INVALID_HANDLE_VALUE, answerSize); break;
  }
  Check(result == HSE_STATUS_SUCCESS || result == HSE_STATUS_ERROR);
  // The page path never sends more than the answer holds.
  if (kCodes[kind] == '1') Check(client.received <= answerSize);
  unlink(exchange.c_str());
  unlink(named.c_str());
  return 0;
}
