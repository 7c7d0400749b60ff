// Windows paths over POSIX: names looked up as Windows (and Wine) look them up.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/posix_internal.h"
#include "platform/windows_paths.h"

namespace {

constexpr off_t kPeOffsetField = 0x3C;
constexpr unsigned kMachineAmd64 = 0x8664;

bool ReadAt(int fd, off_t offset, void* buffer, size_t size) {
  return pread(fd, buffer, size, offset) == static_cast<ssize_t>(size);
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// `name` in `directory`: itself where it exists, else the first entry equal to it without regard
// to ASCII case; empty when there is none.
std::string FindName(const std::string& directory, const std::string& name) {
  struct stat info;
  if (lstat((directory + "/" + name).c_str(), &info) == 0) return name;
  std::string found;
  if (DIR* listing = opendir(directory.c_str())) {
    while (const dirent* entry = readdir(listing)) {
      if (strcasecmp(entry->d_name, name.c_str()) == 0) {
        found = entry->d_name;
        break;
      }
    }
    closedir(listing);
  }
  return found;
}

// `base` followed by the names of `rest` (separated by '\' or '/'), each found as FindName finds
// it; a name not found is kept as it is (the caller's open then fails on it).
bool Join(std::string base, LPCSTR rest, LPSTR out, DWORD size) {
  while (*rest != '\0') {
    while (IsSeparator(*rest)) ++rest;
    LPCSTR end = rest;
    while (*end != '\0' && !IsSeparator(*end)) ++end;
    if (end == rest) break;
    const std::string name(rest, static_cast<size_t>(end - rest));
    const std::string found = name == "." || name == ".." ? name : FindName(base, name);
    base += "/" + (found.empty() ? name : found);
    rest = end;
  }
  if (base.size() + 1 > size) return false;
  std::memcpy(out, base.c_str(), base.size() + 1);
  return true;
}

// Whether `path` begins with the Windows directory `directory` (then a separator or its end),
// without regard to case, '\' and '/' alike; its length when it does, else 0.
size_t WindowsPrefix(LPCSTR path, const std::string& directory) {
  size_t length = directory.size();
  while (length > 0 && IsSeparator(directory[length - 1])) --length;  // "C:\apps\" as "C:\apps"
  if (length == 0) return 0;
  for (size_t k = 0; k < length; ++k) {
    const char a = path[k], b = directory[k];
    if (a == '\0') return 0;
    if (IsSeparator(a) && IsSeparator(b)) continue;
    if (a != b && !((a | 0x20) == (b | 0x20) && (a | 0x20) >= 'a' && (a | 0x20) <= 'z')) return 0;
  }
  return path[length] == '\0' || IsSeparator(path[length]) ? length : 0;
}

}  // namespace

BOOL MapWindowsPath(LPCSTR table, LPCSTR windowsPath, LPSTR out, DWORD size) {
  if (table == nullptr || windowsPath == nullptr) return FALSE;
  size_t best = 0;
  std::string bestDirectory;
  for (LPCSTR line = table; *line != '\0';) {
    LPCSTR end = std::strchr(line, '\n');
    if (end == nullptr) end = line + std::strlen(line);
    const std::string entry(line, static_cast<size_t>(end - line));
    const size_t bar = entry.find('|');
    if (bar != std::string::npos) {
      const size_t matched = WindowsPrefix(windowsPath, entry.substr(0, bar));
      if (matched > best) {
        best = matched;
        bestDirectory = entry.substr(bar + 1);
      }
    }
    line = *end == '\0' ? end : end + 1;
  }
  if (best == 0 || bestDirectory.empty()) return FALSE;
  while (bestDirectory.size() > 1 && bestDirectory.back() == '/') bestDirectory.pop_back();
  return Join(bestDirectory, windowsPath + best, out, size) ? TRUE : FALSE;
}

BOOL WineDrivePath(LPCSTR prefix, LPCSTR windowsPath, LPSTR out, DWORD size) {
  if (prefix == nullptr || prefix[0] == '\0' || !IsDrivePath(windowsPath)) return FALSE;
  const char letter = static_cast<char>(windowsPath[0] | 0x20);
  char drive[PATH_MAX];
  if (realpath((std::string(prefix) + "/dosdevices/" + letter + ":").c_str(), drive) == nullptr) return FALSE;
  return Join(std::strcmp(drive, "/") == 0 ? "" : drive, windowsPath + 2, out, size) ? TRUE : FALSE;
}

namespace {

// The kind as the file's bytes tell it.
WindowsMachine KindOfFile(LPCSTR path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return kNotWindows;
  uint8_t dosMagic[2] = {0, 0};
  uint8_t offsetBytes[4] = {0, 0, 0, 0};
  uint8_t header[6] = {0, 0, 0, 0, 0, 0};  // "PE\0\0" and the machine
  WindowsMachine kind = kNotWindows;
  if (ReadAt(fd, 0, dosMagic, sizeof dosMagic) && dosMagic[0] == 'M' && dosMagic[1] == 'Z' &&
      ReadAt(fd, kPeOffsetField, offsetBytes, sizeof offsetBytes)) {
    const uint32_t peOffset = offsetBytes[0] | offsetBytes[1] << 8 | offsetBytes[2] << 16 |
                              static_cast<uint32_t>(offsetBytes[3]) << 24;
    // A header cut after its signature is still Windows'; Wine judges the rest.
    if (ReadAt(fd, static_cast<off_t>(peOffset), header, 4) && std::memcmp(header, "PE\0\0", 4) == 0) {
      const bool machineRead = ReadAt(fd, static_cast<off_t>(peOffset) + 4, header + 4, 2);
      kind = machineRead && (header[4] | header[5] << 8) == kMachineAmd64 ? kWindows64 : kWindows32;
    }
  }
  close(fd);
  return kind;
}

}  // namespace

WindowsMachine WindowsExecutableKind(LPCSTR path) {
  // The program this thread just resolved, unchanged since it was last looked at: its kind as then.
  int known = 0;
  if (karvel_posix::ResolvedKind(path, &known)) return static_cast<WindowsMachine>(known);
  const WindowsMachine kind = KindOfFile(path);
  karvel_posix::NoteResolvedKind(path, kind);
  return kind;
}
