#include "gateway/form_source.h"

#include <cstring>

#include "gateway/ascii_fold.h"
#include "platform/host_error.h"
#include "platform/win32.h"

namespace {

void ReleaseChunk(FormByteSource* source) {
  if (source->pBuffer != nullptr) {
    HeapFree(GetProcessHeap(), 0, source->pBuffer);
    source->pBuffer = nullptr;
  }
}

// Makes the body source's chunk hold unread bytes: the bytes the server already holds first,
// then ReadClient. FALSE at the end of the input (the chunk buffer is then released).
bool FillBodyChunk(FormByteSource* source) {
  EXTENSION_CONTROL_BLOCK* ecb = source->pEcb;
  if (!source->bBegun) {
    source->bBegun = true;
    source->nDelivered = 0;
    source->nPosition = 0;
    source->nBufferLength = 0;
    source->pBuffer = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, FORM_CHUNK_BYTES));
  }
  if (source->pBuffer == nullptr) return false;
  // Never more than cbTotalBytes, whatever the server holds or delivers.
  if (static_cast<DWORD>(source->nDelivered) >= ecb->cbTotalBytes) {
    ReleaseChunk(source);
    return false;
  }
  if (source->nPosition < source->nBufferLength) return true;
  DWORD count = 0;
  if (ecb->cbAvailable > 0) {
    count = ecb->cbAvailable < FORM_CHUNK_BYTES ? ecb->cbAvailable : FORM_CHUNK_BYTES;
    // The preloaded bytes still waiting start where the delivered ones end.
    std::memcpy(source->pBuffer, ecb->lpbData + source->nDelivered, count);
    ecb->cbAvailable -= count;
  } else {
    const DWORD left = ecb->cbTotalBytes - static_cast<DWORD>(source->nDelivered);
    count = left < FORM_CHUNK_BYTES ? left : FORM_CHUNK_BYTES;
    if (!ecb->ReadClient(ecb->ConnID, source->pBuffer, &count)) {
      // The connection failed (the client left, or stalled past the server's timeout), or the
      // server refused the body's size.
      source->bCut = true;
      source->bTooLarge = GetHostLastError() == ERROR_FILE_TOO_LARGE;
      ReleaseChunk(source);
      return false;
    }
    // A server that claims more than was asked for delivers only what fits.
    if (count > FORM_CHUNK_BYTES) count = FORM_CHUNK_BYTES;
  }
  source->nPosition = 0;
  source->nBufferLength = static_cast<int32_t>(count);
  if (count == 0) {
    // Nothing more before the declared length: the body was cut. A body of unknown length ends so.
    if (ecb->cbTotalBytes != 0xFFFFFFFF) source->bCut = true;
    ReleaseChunk(source);
    return false;
  }
  return true;
}

int NextBodyByte(FormByteSource* source) {
  if (!FillBodyChunk(source)) return -1;
  source->nDelivered++;
  return source->pBuffer[source->nPosition++];
}

int NextQueryByte(FormByteSource* source) {
  if (!source->bBegun) {
    source->bBegun = true;
    source->nPosition = 0;
    source->nBufferLength = lstrlenA(source->pEcb->lpszQueryString);
  }
  if (source->nPosition >= source->nBufferLength) return -1;
  return static_cast<uint8_t>(source->pEcb->lpszQueryString[source->nPosition++]);
}

}  // namespace

void BeginFormSource(FormByteSource* source, EXTENSION_CONTROL_BLOCK* ecb, FormSourceKind kind) {
  *source = FormByteSource{ecb, kind, false, 0, 0, 0, nullptr, false, false};
}

int NextFormByte(FormByteSource* source) {
  return source->nKind == kBodySource ? NextBodyByte(source) : NextQueryByte(source);
}

void ReleaseSource(FormByteSource* source) { ReleaseChunk(source); }

int32_t PeekBytes(FormByteSource* source, const uint8_t** bytes) {
  if (source->nKind == kBodySource) {
    if (!FillBodyChunk(source)) return 0;
    *bytes = source->pBuffer + source->nPosition;
    const int64_t left = static_cast<int64_t>(source->pEcb->cbTotalBytes) - source->nDelivered;
    const int32_t inChunk = source->nBufferLength - source->nPosition;
    return left < inChunk ? static_cast<int32_t>(left) : inChunk;
  }
  if (!source->bBegun) {
    // Let the query source begin itself; it takes no byte when it is empty.
    const int first = NextQueryByte(source);
    if (first < 0) return 0;
    source->nPosition--;
  }
  *bytes = reinterpret_cast<const uint8_t*>(source->pEcb->lpszQueryString) + source->nPosition;
  return source->nBufferLength - source->nPosition;
}

void ConsumeBytes(FormByteSource* source, int32_t count) {
  source->nPosition += count;
  if (source->nKind == kBodySource) source->nDelivered += count;
}

int64_t RemainingInput(const FormByteSource* source) {
  if (source->nKind == kBodySource) {
    return static_cast<int64_t>(source->pEcb->cbTotalBytes) - source->nDelivered;
  }
  if (!source->bBegun) return lstrlenA(source->pEcb->lpszQueryString);
  return source->nBufferLength - source->nPosition;
}

int HexDigitValue(int character) {
  if (character >= '0' && character <= '9') return character - '0';
  character = static_cast<unsigned char>(AsciiLower(static_cast<char>(character)));
  if (character >= 'a' && character <= 'f') return character - 'a' + 10;
  return -1;
}

bool IsFieldSeparator(uint8_t byte) {
  return byte == 0x00 || byte == '\n' || byte == '\r' || byte == '"' || byte == '&' || byte == '=';
}

int DecodeNextByte(FormByteSource* source, uint8_t* current, bool raw) {
  *current = 0;
  const int b = NextFormByte(source);
  if (b < 0) return kDecodeEnd;
  if (!raw && b == '+') {
    *current = ' ';
    return kDecodeEscaped;
  }
  if (!raw && b == '%') {
    const int high = HexDigitValue(NextFormByte(source));
    if (high < 0) return kDecodeEnd;
    *current = static_cast<uint8_t>(high * 16);
    const int low = HexDigitValue(NextFormByte(source));
    if (low < 0) {
      *current = 0;
      return kDecodeEnd;
    }
    *current = static_cast<uint8_t>(high * 16 + low);
    return kDecodeEscaped;
  }
  *current = static_cast<uint8_t>(b);
  return kDecodePlain;
}
