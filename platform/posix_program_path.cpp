// Back-end program paths over POSIX: dladdr for the module's file, realpath for the resolution.
#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/program_path.h"

namespace {

bool CopyOut(const std::string& text, LPSTR out, DWORD size) {
  if (text.size() + 1 > size) return false;
  std::memcpy(out, text.c_str(), text.size() + 1);
  return true;
}

// realpath as a string; empty when the path does not resolve.
std::string RealPath(const std::string& path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

// A program the server may start: an executable file, or a Windows executable ("MZ") it can read,
// which the host runs under Wine without its execute bit (files copied from Windows have none).
bool Startable(const std::string& program) {
  if (access(program.c_str(), X_OK) == 0) return true;
  FILE* file = std::fopen(program.c_str(), "rb");
  if (file == nullptr) return false;
  char magic[2] = {0, 0};
  const bool windows = std::fread(magic, 1, 2, file) == 2 && magic[0] == 'M' && magic[1] == 'Z';
  std::fclose(file);
  return windows;
}

}  // namespace

BOOL GetModuleDirectoryA(const void* address, LPSTR directory, DWORD size) {
  Dl_info info;
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return FALSE;
  std::string file = RealPath(info.dli_fname);
  const size_t slash = file.rfind('/');
  if (slash == std::string::npos) return FALSE;
  return CopyOut(slash == 0 ? "/" : file.substr(0, slash), directory, size) ? TRUE : FALSE;
}

BOOL ResolveProgramInDirectory(LPCSTR directory, LPCSTR requested, LPSTR resolved, DWORD size) {
  if (directory == nullptr || requested == nullptr || requested[0] == '\0') return FALSE;
  const std::string root = RealPath(directory);
  if (root.empty()) return FALSE;
  const std::string candidate = requested[0] == '/' ? std::string(requested) : root + "/" + requested;
  const std::string program = RealPath(candidate);
  // Inside means below the directory: "/srv/backends2" is not inside "/srv/backends".
  const std::string prefix = root == "/" ? root : root + "/";
  if (program.empty() || program.compare(0, prefix.size(), prefix) != 0) return FALSE;
  struct stat info;
  if (stat(program.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || !Startable(program)) {
    return FALSE;
  }
  return CopyOut(program, resolved, size) ? TRUE : FALSE;
}
