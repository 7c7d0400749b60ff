#include "gateway/debug_copy.h"

#include <cstring>

#include "gateway/backend_run.h"
#include "platform/program_path.h"

BOOL DebugCopyPath(const ExchangeRequest& request, CHAR path[MAX_PATH]) {
  CHAR directory[MAX_PATH];
  if (!GetBackendDirectory(directory)) return FALSE;
  // The program that runs: resolved inside the back-end directory. One that does not resolve
  // keeps the directory part of its path, or the back-end directory.
  CHAR program[MAX_PATH];
  if (!ResolveProgramInDirectory(directory, request.szBackendPath, program, MAX_PATH)) {
    lstrcpyA(program, request.szBackendPath);
  }
  size_t keep = 0;
  for (size_t k = 0; program[k] != '\0'; ++k) {
    if (IsPathSeparator(program[k])) keep = k + 1;
  }
  const char* name = request.bVcexeTaken ? "vcdebug.tmp" : "vbdebug.tmp";
  if (keep == 0) {
    const size_t length = std::strlen(directory);
    if (length + 1 + std::strlen(name) + 1 > MAX_PATH) return FALSE;
    lstrcpyA(path, directory);
    path[length] = KARVEL_PATH_SEPARATOR;
    path[length + 1] = '\0';
  } else {
    if (keep + std::strlen(name) + 1 > MAX_PATH) return FALSE;
    std::memcpy(path, program, keep);
    path[keep] = '\0';
  }
  lstrcatA(path, name);
  return TRUE;
}

void MakeDebugCopy(const ExchangeRequest& request) {
  CHAR path[MAX_PATH];
  if (DebugCopyPath(request, path)) CopyFileA(request.szExchangePath, path, FALSE);
}
