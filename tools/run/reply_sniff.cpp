#include "tools/run/reply_sniff.h"

#include <cstring>
#include <dlfcn.h>
#include <magic.h>

namespace {
constexpr const char* kUnknownType = "application/octet-stream";
constexpr size_t kSniffBytes = 64 * 1024;  // as many as the server looks at

// libmagic, opened at the first raw reply: linked at start it would cost every run the loading of
// it and its four compression libraries, more than a small program's whole run.
struct Magic {
  magic_t handle = nullptr;
  const char* (*buffer)(magic_t, const void*, size_t) = nullptr;
};

Magic OpenMagic() {
  Magic magic;
  void* library = dlopen("libmagic.so.1", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return magic;
  auto open = reinterpret_cast<magic_t (*)(int)>(dlsym(library, "magic_open"));
  auto load = reinterpret_cast<int (*)(magic_t, const char*)>(dlsym(library, "magic_load"));
  auto close = reinterpret_cast<void (*)(magic_t)>(dlsym(library, "magic_close"));
  magic.buffer = reinterpret_cast<const char* (*)(magic_t, const void*, size_t)>(dlsym(library, "magic_buffer"));
  if (open == nullptr || load == nullptr || close == nullptr || magic.buffer == nullptr) return Magic{};
  magic.handle = open(MAGIC_MIME_TYPE | MAGIC_MIME_ENCODING | MAGIC_ERROR);
  if (magic.handle != nullptr && load(magic.handle, nullptr) != 0) {
    close(magic.handle);
    magic.handle = nullptr;
  }
  return magic;
}
}  // namespace

std::string SniffReplyType(const char* bytes, size_t size) {
  static const Magic magic = OpenMagic();
  if (size == 0 || magic.handle == nullptr) return kUnknownType;
  const char* found = magic.buffer(magic.handle, bytes, size < kSniffBytes ? size : kSniffBytes);
  if (found == nullptr || *found == '\0') return kUnknownType;
  // "text/html; charset=utf-8" stays whole; "image/png; charset=binary" goes out bare.
  const char* parameters = std::strstr(found, "; ");
  const bool keepCharset = std::strncmp(found, "text/", 5) == 0 && parameters != nullptr &&
                           std::strstr(parameters, "charset=binary") == nullptr;
  const std::string type = parameters == nullptr || keepCharset ? std::string(found) : std::string(found, parameters);
  return type.empty() || type == "application/x-empty" ? kUnknownType : type;
}
