// huge_answer EXCHANGE_FILE: answers with a sparse answer of the size in field "size", of the kind
// in field "kind": "page" (a header and "huge", then NULs), "file" (result code 4 naming a file of
// that size that begins "GIF89a"), "path" (result code 4 whose path runs on in NULs) or "url".
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "karvel_backend.h"

namespace {

// Writes `text`, extends the file to `size` bytes (holes, no disk) and closes it.
bool WriteSparse(const std::string& path, const std::string& text, long long size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ftruncate(fd, size) == 0;
  return close(fd) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  karvel::Request request;
  if (!karvel::ReadRequest(argv[1], &request)) return 1;
  const karvel::Field* kind = request.find("kind");
  const karvel::Field* size = request.find("size");
  if (kind == nullptr || size == nullptr) return 1;
  const long long bytes = std::atoll(size->value.c_str());
  const std::string exchange = argv[1], answer = exchange + ".new";
  std::string text;
  if (kind->value == "page") {
    text = "91  Content-Type: text/plain\r\n\r\nhuge";
  } else if (kind->value == "file") {
    const std::string data = exchange + ".data";
    if (!WriteSparse(data, "GIF89a", bytes)) return 1;
    text = "94  " + data;
  } else if (kind->value == "path") {
    text = "94  " + exchange + ".data";
  } else {
    text = "92  /";
  }
  const long long answerSize = kind->value == "file" ? static_cast<long long>(text.size()) : bytes;
  if (!WriteSparse(answer, text, answerSize) || std::rename(answer.c_str(), exchange.c_str()) != 0) return 1;
  return 0;
}
