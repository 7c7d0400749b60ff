#include "gateway/wine_request.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "backend/karvel_cp932.h"

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

void NameUploadForWine(const char* path) {
  const char* name = path + std::strlen(path);
  while (name > path && !IsPathSeparator(name[-1])) --name;
  bool ascii = true;
  for (const char* c = name; *c != '\0'; ++c) ascii = ascii && static_cast<unsigned char>(*c) < 0x80;
  if (ascii) return;
  const std::string renamed = std::string(path, static_cast<size_t>(name - path)) + karvel::DecodeValue(name);
  std::rename(path, renamed.c_str());
}
