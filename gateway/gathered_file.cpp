#include "gateway/gathered_file.h"

#include <algorithm>
#include <cstring>

namespace {

BOOL WriteAll(HANDLE file, const void* bytes, DWORD count) {
  DWORD written = 0;
  return WriteFile(file, bytes, count, &written, nullptr) && written == count;
}

}  // namespace

void BeginGathering(GatheredFile* gathered, HANDLE file) {
  gathered->hFile = file;
  gathered->dwBufferAt = 0;
  gathered->dwUsed = 0;
  gathered->bFailed = FALSE;
}

DWORD GatheredOffset(const GatheredFile& gathered) { return gathered.dwBufferAt + gathered.dwUsed; }

// The file's own pointer stays at dwBufferAt: every flush writes the buffer where it belongs.
BOOL FlushGathered(GatheredFile* gathered) {
  if (gathered->bFailed) return FALSE;
  if (gathered->dwUsed == 0) return TRUE;
  if (!WriteAll(gathered->hFile, gathered->abBuffer, gathered->dwUsed)) gathered->bFailed = TRUE;
  gathered->dwBufferAt += gathered->dwUsed;
  gathered->dwUsed = 0;
  return !gathered->bFailed;
}

BOOL GatherBytes(GatheredFile* gathered, const void* bytes, DWORD count) {
  const BYTE* next = static_cast<const BYTE*>(bytes);
  while (count > 0 && !gathered->bFailed) {
    // A piece as large as the buffer goes to the file as it is, not copied through it.
    if (gathered->dwUsed == 0 && count >= GATHER_BUFFER_BYTES) {
      if (!WriteAll(gathered->hFile, next, count)) gathered->bFailed = TRUE;
      gathered->dwBufferAt += count;
      return !gathered->bFailed;
    }
    const DWORD taken = std::min(count, GATHER_BUFFER_BYTES - gathered->dwUsed);
    std::memcpy(gathered->abBuffer + gathered->dwUsed, next, taken);
    gathered->dwUsed += taken;
    next += taken;
    count -= taken;
    if (gathered->dwUsed == GATHER_BUFFER_BYTES) FlushGathered(gathered);
  }
  return !gathered->bFailed;
}

BOOL OverwriteGathered(GatheredFile* gathered, DWORD at, const void* bytes, DWORD count) {
  if (gathered->bFailed || at > GatheredOffset(*gathered) || count > GatheredOffset(*gathered) - at) return FALSE;
  const BYTE* next = static_cast<const BYTE*>(bytes);
  // The part that already reached the file is written over there; the pointer then goes back.
  if (at < gathered->dwBufferAt) {
    const DWORD inFile = std::min(count, gathered->dwBufferAt - at);
    LONG high = 0;
    SetFilePointer(gathered->hFile, static_cast<LONG>(at), &high, FILE_BEGIN);
    if (!WriteAll(gathered->hFile, next, inFile)) gathered->bFailed = TRUE;
    high = 0;
    SetFilePointer(gathered->hFile, static_cast<LONG>(gathered->dwBufferAt), &high, FILE_BEGIN);
    at += inFile;
    next += inFile;
    count -= inFile;
  }
  if (count > 0) std::memcpy(gathered->abBuffer + (at - gathered->dwBufferAt), next, count);
  return !gathered->bFailed;
}
