#include "tools/run/reply_sniff.h"

#include <cstring>
#include <magic.h>

namespace {
constexpr const char* kUnknownType = "application/octet-stream";
constexpr size_t kSniffBytes = 64 * 1024;  // as many as the server looks at
}  // namespace

std::string SniffReplyType(const char* bytes, size_t size) {
  static magic_t magic = nullptr;
  static bool tried = false;
  if (!tried) {
    tried = true;
    magic = magic_open(MAGIC_MIME_TYPE | MAGIC_MIME_ENCODING | MAGIC_ERROR);
    if (magic != nullptr && magic_load(magic, nullptr) != 0) {
      magic_close(magic);
      magic = nullptr;
    }
  }
  if (size == 0 || magic == nullptr) return kUnknownType;
  const char* found = magic_buffer(magic, bytes, size < kSniffBytes ? size : kSniffBytes);
  if (found == nullptr || *found == '\0') return kUnknownType;
  // "text/html; charset=utf-8" stays whole; "image/png; charset=binary" goes out bare.
  const char* parameters = std::strstr(found, "; ");
  const bool keepCharset = std::strncmp(found, "text/", 5) == 0 && parameters != nullptr &&
                           std::strstr(parameters, "charset=binary") == nullptr;
  const std::string type = parameters == nullptr || keepCharset ? std::string(found) : std::string(found, parameters);
  return type.empty() || type == "application/x-empty" ? kUnknownType : type;
}
