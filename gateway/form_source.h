// The byte sources and the decoder the form reader pulls its input through.
#ifndef KARVEL_GATEWAY_FORM_SOURCE_H
#define KARVEL_GATEWAY_FORM_SOURCE_H

#include <cstdint>

#include "isapi/httpext.h"

#define FORM_CHUNK_BYTES 65536

struct PosData;
// Returns the next input byte as 0-255, or -1 at the end of the input.
typedef int (*NextByteFunction)(PosData* source);

// The state of one byte source. nBufferSize is 0 until the source's first call.
struct PosData {
  EXTENSION_CONTROL_BLOCK* pEcb;
  int32_t nDelivered;     // body: bytes delivered so far
  int32_t nBufferLength;  // body: bytes in the current chunk; query: the query string's length
  int32_t nPosition;      // index of the next byte in the chunk or the query string
  int32_t nBufferSize;    // body: FORM_CHUNK_BYTES once begun; query: -1 once begun
  uint8_t* pBuffer;       // body: the chunk buffer (zero-filled), null once released
  NextByteFunction pfnNextByte;
};

// The body: first the cbAvailable bytes at lpbData (lowering ecb->cbAvailable in place), then
// ReadClient in chunks of at most 64 KiB, cbTotalBytes bytes in all. A failed or empty read ends
// the input; the chunk buffer is released at the end.
int NextBodyByte(PosData* source);
// The query string: every byte up to its length, 0xFF included.
int NextQueryByte(PosData* source);
// Releases the body source's chunk buffer if it still holds it.
void ReleaseSource(PosData* source);

// Bulk access for raw runs (uploads): points *bytes at the bytes available now without consuming
// them (refilling the chunk when it is used up) and returns their count; 0 at the end of the input.
// ConsumeBytes(source, n) then takes n of them. Same bytes, same order as pfnNextByte.
int32_t PeekBytes(PosData* source, const uint8_t** bytes);
void ConsumeBytes(PosData* source, int32_t count);

// Input bytes not yet delivered (at most): what the value buffer must still have room for.
int64_t RemainingInput(const PosData* source);

enum DecodeResult { kDecodeEnd = 0, kDecodeEscaped = 1, kDecodePlain = 2 };

// Takes the next byte into *current (0 first): '+' becomes a space and %XY its byte (result 1)
// unless `raw`; any other byte is plain (2). The end of the input or a bad escape gives 0 (a bad
// escape consumes the '%' and the bytes it read).
int DecodeNextByte(PosData* source, uint8_t* current, bool raw);

// '0'-'9' give 0-9, 'a'-'f' and 'A'-'F' 10-15, anything else (the end marker -1 too) -1.
int HexDigitValue(int character);

// NUL, LF, CR, quote, '&' and '=' end a name or a URL-encoded value.
bool IsFieldSeparator(uint8_t byte);

#endif  // KARVEL_GATEWAY_FORM_SOURCE_H
