#include "host/module/content_sniff.h"

#include <cstring>
#include <mutex>

#include <apr_strings.h>
#include <magic.h>

namespace {
constexpr const char* kUnknownType = "application/octet-stream";
// Enough for every signature libmagic knows; the rest of a large file would only cost time.
constexpr size_t kSniffBytes = 64 * 1024;

std::mutex g_lock;  // a magic_t is not safe for concurrent use
magic_t g_magic = nullptr;
}  // namespace

bool OpenContentSniffer() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_magic != nullptr) return true;
  magic_t handle = magic_open(MAGIC_MIME_TYPE | MAGIC_MIME_ENCODING | MAGIC_ERROR);
  if (handle == nullptr) return false;
  if (magic_load(handle, nullptr) != 0) {
    magic_close(handle);
    return false;
  }
  g_magic = handle;
  return true;
}

const char* SniffContentType(apr_pool_t* pool, const void* data, size_t size) {
  if (size == 0) return kUnknownType;
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_magic == nullptr) return kUnknownType;
  const char* found = magic_buffer(g_magic, data, size < kSniffBytes ? size : kSniffBytes);
  if (found == nullptr || *found == '\0') return kUnknownType;
  // The charset libmagic guesses matters for text only ("text/html; charset=utf-8"); other types
  // go out bare ("image/png", not "image/png; charset=binary").
  const char* parameters = std::strstr(found, "; ");
  const bool text = std::strncmp(found, "text/", 5) == 0;
  const bool keepCharset = text && parameters != nullptr && std::strstr(parameters, "charset=binary") == nullptr;
  const size_t length = (parameters == nullptr || keepCharset) ? std::strlen(found)
                                                                : static_cast<size_t>(parameters - found);
  if (length == 0 || std::strncmp(found, "application/x-empty", length) == 0) return kUnknownType;
  return apr_pstrndup(pool, found, length);
}
