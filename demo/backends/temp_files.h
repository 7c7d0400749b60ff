// What the demo back-ends share: where the server keeps its temporary files (exchange files, and
// uploads in one directory per request, VCU*.tmp), and a check that a path names a file there.
#ifndef KARVEL_DEMO_BACKENDS_TEMP_FILES_H
#define KARVEL_DEMO_BACKENDS_TEMP_FILES_H

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace demo {

// The canonical temporary directory the server uses: $TMPDIR, else /tmp; "" when unresolvable.
inline std::string TempDir() {
  const char* dir = std::getenv("TMPDIR");
  char* real = realpath(dir != nullptr && dir[0] != '\0' ? dir : "/tmp", nullptr);
  const std::string result = real != nullptr ? real : "";
  std::free(real);
  return result;
}

// True when `path` names (after links and "..") a regular file below the temporary directory;
// *inside gets the part of its canonical path below that directory, *size its size.
inline bool TempFile(const std::string& path, std::string* inside, long long* size) {
  const std::string temp = TempDir();
  if (temp.empty() || path.empty() || path.find('\0') != std::string::npos) return false;
  char* real = realpath(path.c_str(), nullptr);
  const std::string resolved = real != nullptr ? real : "";
  std::free(real);
  const std::string prefix = temp == "/" ? temp : temp + "/";
  struct stat info;
  if (resolved.compare(0, prefix.size(), prefix) != 0 || stat(resolved.c_str(), &info) != 0 ||
      !S_ISREG(info.st_mode)) {
    return false;
  }
  *inside = resolved.substr(prefix.size());
  *size = info.st_size;
  return true;
}

}  // namespace demo

#endif  // KARVEL_DEMO_BACKENDS_TEMP_FILES_H
