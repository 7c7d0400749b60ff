// Back-end program paths over POSIX: dladdr for the module's file, realpath for the resolution.
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix_internal.h"
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
  // The last error tells why not: nothing there (ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND), or
  // not to be run from here (ERROR_ACCESS_DENIED), or too long (ERROR_FILENAME_EXCED_RANGE).
  auto refuse = [](DWORD code) {
    SetLastError(code);
    return FALSE;
  };
  if (directory == nullptr || requested == nullptr || requested[0] == '\0') return refuse(ERROR_FILE_NOT_FOUND);
  const std::string root = RealPath(directory);
  if (root.empty()) return refuse(karvel_posix::Win32ErrorFromErrno(errno, directory, ERROR_PATH_NOT_FOUND));
  const std::string candidate = requested[0] == '/' ? std::string(requested) : root + "/" + requested;
  const std::string program = RealPath(candidate);
  if (program.empty()) return refuse(karvel_posix::Win32ErrorFromErrno(errno, nullptr, ERROR_FILE_NOT_FOUND));
  // Inside means below the directory: "/srv/backends2" is not inside "/srv/backends".
  const std::string prefix = root == "/" ? root : root + "/";
  if (program.compare(0, prefix.size(), prefix) != 0) return refuse(ERROR_ACCESS_DENIED);
  struct stat info;
  if (stat(program.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || !Startable(program)) {
    return refuse(ERROR_ACCESS_DENIED);
  }
  return CopyOut(program, resolved, size) ? TRUE : refuse(ERROR_FILENAME_EXCED_RANGE);
}

namespace {

// Walks `path` from "/" without following a link; the descriptor of what it names, a directory
// when `directory`, else a regular file.
int OpenWithoutLinks(const char* path, bool directory) {
  if (path == nullptr || path[0] != '/') {
    errno = EINVAL;
    return -1;
  }
  int at = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
  const char* name = path;
  for (;;) {
    while (*name == '/') ++name;
    if (at < 0 || *name == '\0') break;
    const char* end = std::strchr(name, '/');
    const std::string part = end == nullptr ? std::string(name) : std::string(name, static_cast<size_t>(end - name));
    if (part == "." || part == "..") {
      close(at);
      errno = EINVAL;
      return -1;
    }
    // O_NOFOLLOW on every part: a link anywhere on the way ends the walk (ELOOP, or ENOTDIR where
    // a directory is wanted and a link stands).
    const bool last = end == nullptr || end[std::strspn(end, "/")] == '\0';
    const int flags = O_PATH | O_NOFOLLOW | O_CLOEXEC | (!last || directory ? O_DIRECTORY : 0);
    const int next = openat(at, part.c_str(), flags);
    const int failure = errno;
    close(at);
    if (next < 0) {
      errno = failure;
      return -1;
    }
    at = next;
    if (end == nullptr) break;
    name = end;
  }
  struct stat info;
  if (at >= 0 && (fstat(at, &info) != 0 || (directory ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode)))) {
    close(at);
    errno = directory ? ENOTDIR : EACCES;
    return -1;
  }
  return at;
}

}  // namespace

int OpenProgramWithoutLinks(const char* path) { return OpenWithoutLinks(path, false); }

int OpenDirectoryWithoutLinks(const char* path) { return OpenWithoutLinks(path, true); }

bool ProgramIsScript(int program) {
  // An O_PATH descriptor reads nothing: the file is opened again through it.
  const std::string self = "/proc/self/fd/" + std::to_string(program);
  const int file = open(self.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return false;
  char magic[2] = {0, 0};
  const bool script = read(file, magic, 2) == 2 && magic[0] == '#' && magic[1] == '!';
  close(file);
  return script;
}
