// Writes to a new file gathered in memory, so that a file written in many small pieces reaches
// the disk in few writes: a small exchange file (header, index and records) in one.
#ifndef KARVEL_GATEWAY_GATHERED_FILE_H
#define KARVEL_GATEWAY_GATHERED_FILE_H

#include "platform/win32.h"

constexpr DWORD GATHER_BUFFER_BYTES = 16 * 1024;

// The bytes from dwBufferAt on are in abBuffer until they are flushed; the file holds what came
// before them. bFailed stays set once a write to the file failed.
struct GatheredFile {
  HANDLE hFile;
  DWORD dwBufferAt;
  DWORD dwUsed;
  BOOL bFailed;
  BYTE abBuffer[GATHER_BUFFER_BYTES];
};

// Begins gathering the writes to `file`, empty and open for writing.
void BeginGathering(GatheredFile* gathered, HANDLE file);

// Appends `count` bytes; FALSE once a write to the file has failed.
BOOL GatherBytes(GatheredFile* gathered, const void* bytes, DWORD count);

// The file offset the next gathered byte will have.
DWORD GatheredOffset(const GatheredFile& gathered);

// Writes everything gathered to the file; FALSE when a write failed.
BOOL FlushGathered(GatheredFile* gathered);

// Writes `count` bytes over bytes gathered earlier from file offset `at`: in the buffer while they
// are there, so that a small file is still written once. FALSE when the range was not gathered
// yet or a write failed.
BOOL OverwriteGathered(GatheredFile* gathered, DWORD at, const void* bytes, DWORD count);

#endif  // KARVEL_GATEWAY_GATHERED_FILE_H
