#include "gateway/debug_copy.h"

#include <cstring>

#include "platform/program_path.h"

BOOL DebugCopyPath(const ExchangeRequest& request, CHAR path[MAX_PATH]) {
  // Only beside a program that resolved inside the back-end directory: a form must never choose
  // where the server writes the request's data.
  LPCSTR program = request.szProgram;
  if (program[0] == '\0') return FALSE;
  size_t keep = 0;
  for (size_t k = 0; program[k] != '\0'; ++k) {
    if (IsPathSeparator(program[k])) keep = k + 1;
  }
  const char* name = request.bVcexeTaken ? "vcdebug.tmp" : "vbdebug.tmp";
  if (keep == 0 || keep + std::strlen(name) + 1 > MAX_PATH) return FALSE;
  std::memcpy(path, program, keep);
  path[keep] = '\0';
  lstrcatA(path, name);
  return TRUE;
}

void MakeDebugCopy(const ExchangeRequest& request) {
  CHAR path[MAX_PATH];
  if (DebugCopyPath(request, path)) CopyFileA(request.szExchangePath, path, FALSE);
}
