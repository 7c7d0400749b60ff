#include "statusfile/expand_template.h"

#include <cstring>

#include "statusfile/failure_message.h"

namespace {

// What the markers "@1" to "@5" stand for, formatted once per call.
struct MarkerValues {
  CHAR szDate[16];
  CHAR szFirstLength[16];
  CHAR szSecondLength[16];
  LPCSTR pFirstValue;
  LPCSTR pSecondValue;
};

void PrepareMarkers(LPCSTR firstValue, LPCSTR secondValue, MarkerValues* markers) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  wsprintfA(markers->szDate, "%02d/%02d/%02d", now.wMonth, now.wDay, now.wYear % 100);
  wsprintfA(markers->szFirstLength, "%d", lstrlenA(firstValue));
  wsprintfA(markers->szSecondLength, "%d", lstrlenA(secondValue));
  markers->pFirstValue = firstValue;
  markers->pSecondValue = secondValue;
}

// The replacement of the marker whose digit is `digit` ('1'-'5'), or nullptr for any other byte.
LPCSTR Replacement(const MarkerValues& markers, BYTE digit) {
  switch (digit) {
    case '1': return markers.szDate;
    case '2': return markers.szFirstLength;
    case '3': return markers.pFirstValue;
    case '4': return markers.szSecondLength;
    case '5': return markers.pSecondValue;
    default: return nullptr;
  }
}

// The status file's bytes collect in a buffer of one template block and go out a buffer at a time:
// a template with a marker every few bytes still costs few writes. A failing write leaves in the
// file what the system accepted of it, so the file always holds the start of the expansion.
struct StatusOutput {
  HANDLE hFile;
  BYTE* pBuffer;  // STATUS_TEMPLATE_BLOCK bytes
  DWORD nUsed;
};

BOOL Flush(StatusOutput* out) {
  DWORD written = 0;
  const BOOL ok = out->nUsed == 0 ||
                  (WriteFile(out->hFile, out->pBuffer, out->nUsed, &written, nullptr) && written == out->nUsed);
  out->nUsed = 0;
  return ok;
}

// Appends `count` bytes; FALSE when a write failed.
BOOL Put(StatusOutput* out, const BYTE* bytes, DWORD count) {
  while (count > 0) {
    if (out->nUsed == STATUS_TEMPLATE_BLOCK && !Flush(out)) return FALSE;
    DWORD room = STATUS_TEMPLATE_BLOCK - out->nUsed;
    DWORD part = count < room ? count : room;
    std::memcpy(out->pBuffer + out->nUsed, bytes, part);
    out->nUsed += part;
    bytes += part;
    count -= part;
  }
  return TRUE;
}

BOOL PutText(StatusOutput* out, LPCSTR text) {
  return Put(out, reinterpret_cast<const BYTE*>(text), static_cast<DWORD>(lstrlenA(text)));
}

struct Expansion {
  StatusOutput output;
  MarkerValues markers;
  bool bPendingAt;  // the last block ended with an @ that waits for the next block's first byte
};

// Expands one block read from the template; FALSE when a write failed. Bytes go out in template
// order: runs of ordinary bytes (an @ before anything but 1-5 included) and each marker's
// replacement.
BOOL ExpandBlock(Expansion* expansion, const BYTE* block, DWORD count) {
  DWORD runStart = 0;
  if (expansion->bPendingAt) {
    expansion->bPendingAt = false;
    LPCSTR replacement = Replacement(expansion->markers, block[0]);
    if (replacement != nullptr) {
      if (!PutText(&expansion->output, replacement)) return FALSE;
      runStart = 1;
    } else if (!PutText(&expansion->output, "@")) {
      return FALSE;
    }
  }
  DWORD search = runStart;
  while (search < count) {
    const void* found = std::memchr(block + search, '@', count - search);
    if (found == nullptr) break;
    const DWORD at = static_cast<DWORD>(static_cast<const BYTE*>(found) - block);
    if (at + 1 == count) {
      // The digit, if any, comes with the next block.
      expansion->bPendingAt = true;
      return Put(&expansion->output, block + runStart, at - runStart);
    }
    LPCSTR replacement = Replacement(expansion->markers, block[at + 1]);
    if (replacement == nullptr) {
      search = at + 1;  // an ordinary @ stays in the run
      continue;
    }
    if (!Put(&expansion->output, block + runStart, at - runStart) ||
        !PutText(&expansion->output, replacement)) {
      return FALSE;
    }
    runStart = search = at + 2;
  }
  return Put(&expansion->output, block + runStart, count - runStart);
}

// Reads the template block by block into `block` and expands it; FALSE when a write failed.
BOOL ExpandStream(HANDLE hTemplate, Expansion* expansion, BYTE* block) {
  for (;;) {
    DWORD count = 0;
    // A failing read ends the template like its end does.
    if (!ReadFile(hTemplate, block, STATUS_TEMPLATE_BLOCK, &count, nullptr) || count == 0) break;
    if (!ExpandBlock(expansion, block, count)) return FALSE;
  }
  // An @ that ended the template is an ordinary byte.
  if (expansion->bPendingAt && !PutText(&expansion->output, "@")) return FALSE;
  return Flush(&expansion->output);
}

}  // namespace

int ExpandTemplate(LPCSTR templatePath, LPCSTR statusPath, LPCSTR firstValue, LPCSTR secondValue) {
  // One movable block holds the template block and the output buffer. It comes first, so that
  // running out of memory leaves both files alone.
  HGLOBAL hMemory = GlobalAlloc(GMEM_MOVEABLE, 2 * STATUS_TEMPLATE_BLOCK);
  BYTE* memory = hMemory ? static_cast<BYTE*>(GlobalLock(hMemory)) : nullptr;
  if (memory == nullptr) {
    if (hMemory != nullptr) GlobalFree(hMemory);
    ShowStatusFailure(kStatusReadFailed, templatePath);
    return 0;
  }

  HANDLE hTemplate = CreateFileA(templatePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_ARCHIVE, nullptr);
  if (hTemplate == INVALID_HANDLE_VALUE) {
    GlobalUnlock(hMemory);
    GlobalFree(hMemory);
    ShowStatusFailure(kStatusReadFailed, templatePath);
    return 0;
  }
  HANDLE hStatus = CreateFileA(statusPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, nullptr);
  if (hStatus == INVALID_HANDLE_VALUE) {
    CloseHandle(hTemplate);
    GlobalUnlock(hMemory);
    GlobalFree(hMemory);
    ShowStatusFailure(kStatusCreateFailed, statusPath);
    return 0;
  }

  Expansion expansion;
  expansion.output = {hStatus, memory + STATUS_TEMPLATE_BLOCK, 0};
  expansion.bPendingAt = false;
  PrepareMarkers(firstValue, secondValue, &expansion.markers);
  const BOOL expanded = ExpandStream(hTemplate, &expansion, memory);
  // An older, longer status file must not keep its tail behind the new text.
  SetEndOfFile(hStatus);

  CloseHandle(hStatus);
  CloseHandle(hTemplate);
  GlobalUnlock(hMemory);
  GlobalFree(hMemory);
  if (!expanded) {
    ShowStatusFailure(kStatusWriteFailed, statusPath);
    return 0;
  }
  return 1;
}
