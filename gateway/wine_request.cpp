#include "gateway/wine_request.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "jpcodec/converters.h"

#include "gateway/request_settings.h"
#include "platform/program_path.h"
#include "platform/windows_paths.h"

void MapWindowsProgramPath(EXTENSION_CONTROL_BLOCK* ecb, CHAR path[MAX_PATH]) {
  if (!IsDrivePath(path)) return;
  CHAR* table = static_cast<CHAR*>(HeapAlloc(GetProcessHeap(), 0, WINDOWS_PATHS_ROOM));
  CHAR mapped[MAX_PATH];
  if (table != nullptr && WindowsPathsFor(ecb, table, WINDOWS_PATHS_ROOM) && MapWindowsPath(table, path, mapped, MAX_PATH)) {
    lstrcpyA(path, mapped);
  }
  if (table != nullptr) HeapFree(GetProcessHeap(), 0, table);
}

bool ProgramRunsUnderWine(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR requested, LPCSTR backendDirectory) {
  CHAR prefix[MAX_PATH];
  CHAR directory[MAX_PATH];
  CHAR program[MAX_PATH];
  if (!WinePrefixFor(ecb, prefix)) return false;
  if (backendDirectory[0] != '\0') {
    lstrcpyA(directory, backendDirectory);
  } else if (!BackendDirectoryFor(nullptr, directory)) {
    return false;
  }
  return ResolveProgramInDirectory(directory, requested, program, MAX_PATH) && IsWindowsProgramFile(program);
}

namespace {

// Different uploads may leave names that convert alike (code page 932 spells some characters
// twice): a taken name is tried again as "name(2).ext", "name(3).ext" ..., as uploads are named
// when two of a request share a name, at most this often.
constexpr int kMaxSameName = 1000;

// `name` with "(n)" before its extension (n > 1).
std::string NumberedName(const std::string& name, int n) {
  if (n <= 1) return name;
  const size_t dot = name.rfind('.');
  const size_t stem = dot == std::string::npos || dot == 0 ? name.size() : dot;
  return name.substr(0, stem) + "(" + std::to_string(n) + ")" + name.substr(stem);
}

}  // namespace

bool NameUploadForWine(const char* path, CHAR given[MAX_PATH]) {
  // The upload's name begins behind the last '/': a backslash there is the second byte of a
  // Shift-JIS character ("\x83\x5c" is a katakana), not a separator (the path is the host's own).
  const char* name = path + std::strlen(path);
  while (name > path && name[-1] != '/') --name;
  bool ascii = true;
  for (const char* c = name; *c != '\0'; ++c) ascii = ascii && static_cast<unsigned char>(*c) < 0x80;
  if (std::strlen(path) + 1 > MAX_PATH) return false;
  lstrcpyA(given, path);
  if (ascii) return true;
  const std::string directory(path, static_cast<size_t>(name - path));
  for (int n = 1; n <= kMaxSameName; ++n) {
    const std::string shiftJis = NumberedName(name, n);
    std::string unicode(jpcodec::Cp932ToUtf8Room(shiftJis.size()), '\0');
    size_t unicodeLength = 0;
    jpcodec::DecodeCp932(reinterpret_cast<const uint8_t*>(shiftJis.data()), shiftJis.size(),
                         reinterpret_cast<uint8_t*>(unicode.data()), unicode.size(), &unicodeLength);
    const std::string renamed = directory + unicode.substr(0, unicodeLength);
    // Never over another file: a name that is there already belongs to another upload.
    if (MoveFileA(path, renamed.c_str())) {
      if (directory.size() + shiftJis.size() + 1 > MAX_PATH) return false;
      lstrcpyA(given, (directory + shiftJis).c_str());
      return true;
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) return true;  // it stays under its own name
  }
  return true;
}
