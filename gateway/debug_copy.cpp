#include "gateway/debug_copy.h"

#include <cstring>

#include "gateway/host_warning.h"
#include "platform/program_path.h"

namespace {

LPCSTR CopyName(const ExchangeRequest& request) { return request.bVcexeTaken ? "vcdebug.tmp" : "vbdebug.tmp"; }

// How many leading bytes of the program's path are its directory (through its last separator); 0
// for none.
size_t ProgramDirectoryLength(LPCSTR program) {
  size_t keep = 0;
  for (size_t k = 0; program[k] != '\0'; ++k) {
    if (IsPathSeparator(program[k])) keep = k + 1;
  }
  return keep;
}

}  // namespace

BOOL DebugCopyPath(const ExchangeRequest& request, CHAR path[MAX_PATH]) {
  if (request.settings.bDebugCopyUnreadable) return FALSE;
  LPCSTR directory = request.settings.szDebugCopyDirectory;
  size_t keep = std::strlen(directory);
  if (keep == 0) {
    // Only beside a program that resolved inside the back-end directory.
    directory = request.szProgram;
    if (directory[0] == '\0') return FALSE;
    keep = ProgramDirectoryLength(directory);
    if (keep == 0) return FALSE;
  }
  const LPCSTR name = CopyName(request);
  if (keep + std::strlen(name) + 1 > MAX_PATH) return FALSE;
  std::memcpy(path, directory, keep);
  path[keep] = '\0';
  lstrcatA(path, name);
  return TRUE;
}

void MakeDebugCopy(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request) {
  CHAR path[MAX_PATH];
  if (DebugCopyPath(request, path)) {
    if (!CopyFileA(request.szExchangePath, path, FALSE)) {
      WarnHost(ecb, "the debug copy could not be written", path, GetLastError());
    }
    return;
  }
  // No copy where one was meant: said too, so that its author does not look for it in vain. A form
  // that names no program that runs gets none and needs no word: its request fails on its own.
  if (request.settings.bDebugCopyUnreadable) {
    WarnHost(ecb, "no debug copy: the site's KarvelDebugCopyDir could not be read", nullptr, 0);
  } else if (request.settings.szDebugCopyDirectory[0] != '\0' || request.szProgram[0] != '\0') {
    const LPCSTR directory = request.settings.szDebugCopyDirectory[0] != '\0' ? request.settings.szDebugCopyDirectory
                                                                            : request.szProgram;
    WarnHost(ecb, "no debug copy: its path there would be longer than 259 bytes", directory,
             ERROR_FILENAME_EXCED_RANGE);
  }
}
