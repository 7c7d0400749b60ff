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

// The last few resolutions of this thread. A resolution is taken again while both the name asked
// for and the file it gave still lead to the same file, unchanged (device, inode, mode, owner and
// change time, which chmod, chown, an ACL or a new link move on): a look at each instead of a walk
// of every directory on the way twice. A directory or link replaced since leads elsewhere, and
// resolves anew.
struct KeptResolution {
  std::string directory, requested, program;
  dev_t device;
  ino_t inode;
  mode_t mode;
  uid_t owner;
  gid_t group;
  off_t size;
  timespec changed, modified;
  int kind;  // the program's WindowsMachine, once looked at; -1 before
};
constexpr size_t kResolutionsKept = 4;
thread_local KeptResolution t_kept[kResolutionsKept];
thread_local size_t t_nextKept = 0;
// The resolution just made or taken again, whose kind the next look may take (once).
thread_local KeptResolution* t_justResolved = nullptr;

bool SameFile(const struct stat& info, const KeptResolution& kept) {
  return info.st_dev == kept.device && info.st_ino == kept.inode && info.st_mode == kept.mode &&
         info.st_uid == kept.owner && info.st_gid == kept.group && info.st_size == kept.size &&
         info.st_ctim.tv_sec == kept.changed.tv_sec && info.st_ctim.tv_nsec == kept.changed.tv_nsec &&
         info.st_mtim.tv_sec == kept.modified.tv_sec && info.st_mtim.tv_nsec == kept.modified.tv_nsec;
}

KeptResolution* KeptFor(LPCSTR directory, LPCSTR requested) {
  for (KeptResolution& kept : t_kept) {
    if (kept.program.empty() || kept.requested != requested || kept.directory != directory) continue;
    const std::string asked = requested[0] == '/' ? std::string(requested) : kept.directory + "/" + requested;
    struct stat info;
    if (stat(asked.c_str(), &info) != 0 || !SameFile(info, kept)) return nullptr;
    // The name asked for is the file it gave (no link on the way): one look does.
    if (asked != kept.program && (stat(kept.program.c_str(), &info) != 0 || !SameFile(info, kept))) return nullptr;
    return &kept;
  }
  return nullptr;
}

KeptResolution* Keep(LPCSTR directory, LPCSTR requested, const std::string& program, const struct stat& info) {
  KeptResolution& kept = t_kept[t_nextKept++ % kResolutionsKept];
  kept.directory = directory;
  kept.requested = requested;
  kept.program = program;
  kept.device = info.st_dev;
  kept.inode = info.st_ino;
  kept.mode = info.st_mode;
  kept.owner = info.st_uid;
  kept.group = info.st_gid;
  kept.size = info.st_size;
  kept.changed = info.st_ctim;
  kept.modified = info.st_mtim;
  kept.kind = -1;
  return &kept;
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
  t_justResolved = nullptr;
  if (directory == nullptr || requested == nullptr || requested[0] == '\0') return refuse(ERROR_FILE_NOT_FOUND);
  if (KeptResolution* kept = KeptFor(directory, requested)) {
    if (!CopyOut(kept->program, resolved, size)) return refuse(ERROR_FILENAME_EXCED_RANGE);
    t_justResolved = kept;
    return TRUE;
  }
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
  if (!CopyOut(program, resolved, size)) return refuse(ERROR_FILENAME_EXCED_RANGE);
  t_justResolved = Keep(directory, requested, program, info);
  return TRUE;
}

namespace karvel_posix {

bool ResolvedKind(const char* path, int* kind) {
  KeptResolution* kept = t_justResolved;
  if (kept == nullptr || path == nullptr || kept->program != path) return false;
  if (kept->kind < 0) return false;
  t_justResolved = nullptr;
  *kind = kept->kind;
  return true;
}

void NoteResolvedKind(const char* path, int kind) {
  KeptResolution* kept = t_justResolved;
  t_justResolved = nullptr;
  if (kept != nullptr && path != nullptr && kept->program == path) kept->kind = kind;
}

}  // namespace karvel_posix

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
