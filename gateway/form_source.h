// The byte sources and the decoder the form reader pulls its input through.
#ifndef KARVEL_GATEWAY_FORM_SOURCE_H
#define KARVEL_GATEWAY_FORM_SOURCE_H

#include <cstdint>

#include "gateway/io_block.h"
#include "isapi/httpext.h"

// The chunk a body is read in from the server.
constexpr uint32_t FORM_CHUNK_BYTES = GATEWAY_BLOCK_BYTES;

// Where a form's bytes come from: the request body (POST) or the query string (GET).
enum FormSourceKind { kBodySource, kQuerySource };

// The state of one byte source.
struct FormByteSource {
  EXTENSION_CONTROL_BLOCK* pEcb;
  FormSourceKind nKind;
  bool bBegun;            // the first read has set the positions (and the body's chunk) up
  int32_t nDelivered;     // body: bytes delivered so far
  int32_t nBufferLength;  // body: bytes in the current chunk; query: the query string's length
  int32_t nPosition;      // index of the next byte in the chunk or the query string
  uint8_t* pBuffer;       // body: the chunk buffer (FORM_CHUNK_BYTES, zero-filled), null once released
  bool bCut;              // body: it ended before its last byte (ReadClient failed, or delivered nothing
                          // while cbTotalBytes was not reached): what came is not the form sent
  bool bTooLarge;         // body: cut because the server refused its size (ReadClient's ERROR_FILE_TOO_LARGE)
};

// A source of `kind` over `ecb`'s input, not begun.
void BeginFormSource(FormByteSource* source, EXTENSION_CONTROL_BLOCK* ecb, FormSourceKind kind);

// The next input byte as 0-255, or -1 at the end of the input. The body: first the cbAvailable
// bytes at lpbData (lowering ecb->cbAvailable in place), then ReadClient in chunks of at most
// 64 KiB, cbTotalBytes bytes in all; a failed or empty read ends the input and the chunk buffer is
// released at the end. A failed read, or an empty one short of a known cbTotalBytes, sets bCut; an
// empty read of a body of unknown length (0xFFFFFFFF: chunked) is its clean end. The query string: every byte up to its length, 0xFF included.
int NextFormByte(FormByteSource* source);
// Releases the body source's chunk buffer if it still holds it.
void ReleaseSource(FormByteSource* source);

// Bulk access for raw runs (uploads): points *bytes at the bytes available now without consuming
// them (refilling the chunk when it is used up) and returns their count; 0 at the end of the input.
// ConsumeBytes(source, n) then takes n of them. Same bytes, same order as NextFormByte.
int32_t PeekBytes(FormByteSource* source, const uint8_t** bytes);
void ConsumeBytes(FormByteSource* source, int32_t count);

// Input bytes not yet delivered (at most): what the value buffer must still have room for.
int64_t RemainingInput(const FormByteSource* source);

enum DecodeResult { kDecodeEnd = 0, kDecodeEscaped = 1, kDecodePlain = 2 };

// Takes the next byte into *current (0 first): '+' becomes a space and %XY its byte (result 1)
// unless `raw`; any other byte is plain (2). The end of the input or a bad escape gives 0 (a bad
// escape consumes the '%' and the bytes it read).
int DecodeNextByte(FormByteSource* source, uint8_t* current, bool raw);

// '0'-'9' give 0-9, 'a'-'f' and 'A'-'F' 10-15, anything else (the end marker -1 too) -1.
int HexDigitValue(int character);

// NUL, LF, CR, quote, '&' and '=' end a name or a URL-encoded value.
bool IsFieldSeparator(uint8_t byte);

#endif  // KARVEL_GATEWAY_FORM_SOURCE_H
