// ReadFormFields: one hand-written tokenizer over the decoded input. It starts in URL-encoded mode
// and switches, one way only, to multipart mode at the first bare name (the boundary line) or the
// first "Content-" part header.
#include "gateway/form_reader.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "gateway/form_fields.h"
#include "gateway/form_source.h"
#include "gateway/form_upload.h"

namespace {

constexpr int kNameBytes = 256;          // names of up to 255 bytes; 256 fails the read
constexpr int kBoundaryBytes = 200;      // boundary lines are compared on their first 200 bytes
constexpr int kHeldBackBytes = 100;      // line-end bytes of an upload not yet written
constexpr uint32_t kTransferBytes = 8192;
// The value buffer is taken whole up front when the input's length is known and small; a longer
// input, or one of unknown length (a chunked body: cbTotalBytes 0xFFFFFFFF), starts with this much
// and grows as values arrive, so a request never asks for memory it does not fill.
constexpr uint64_t kUpfrontValueBytes = 1 << 20;
constexpr size_t kValueRoomAhead = 16;  // one read stores at most one byte; a NUL follows
constexpr int kClientNameBytes = kUploadNameBytes;  // the file name a part header sends, as sent
constexpr uint8_t CR = '\r';
constexpr uint8_t LF = '\n';
constexpr uint8_t QUOTE = '"';

// How a step ended: go on, the input ended (finish with the list so far), the input ended inside
// a part header (the field is counted but not listed), the field limit was passed, or the read
// failed.
enum Outcome { kGoOn, kInputEnded, kHeaderCut, kTooManyFields, kReadFailed };

struct Reader {
  FormByteSource source;
  uint8_t current;  // the byte the last read delivered
  int result;       // and its decode result
  char* pName;      // kNameBytes + 1, zero-filled
  int nNameLength;
  FormFieldList list;
  int32_t nCount;
  int32_t nMaxFields;  // 0: no limit
  bool bMultipart;
  bool bBoundaryTaken;
  char szBoundary[kBoundaryBytes + 1];
  int nBoundaryLength;
  UploadDirectory uploads;
  UploadWriter upload;     // the upload part being read
  uint8_t* pTransfer;      // the upload's current line, kTransferBytes
  int32_t bNonPrintable;   // of the value being collected
  bool bValueBufferGrows;  // the value buffer does not hold the whole input: keep room ahead
  bool bLengthKnown;       // the input's length is known (a query string, a body with cbTotalBytes)
  bool bOutOfRoom;         // it could not grow: the read ends and fails
  bool bUploadFailed;      // an upload's write failed (the disk, not the form)
};

// The room the value buffer grows by when it runs short. An input of known length, once its first
// part has come, takes room for all of the rest at once: growing step by step would copy the
// values at each step where the buffer cannot be resized in place, and for a moment hold them
// twice. Room not filled yet takes no memory but address space.
size_t GrowthStep(const Reader& r) {
  if (!r.bLengthKnown) return FORM_CHUNK_BYTES;
  return static_cast<size_t>(RemainingInput(&r.source)) + kValueRoomAhead;
}

bool Read(Reader* r, bool raw) {
  if (r->bValueBufferGrows && r->list.nValueCapacity - r->list.nWritePosition < kValueRoomAhead &&
      !EnsureValueRoom(&r->list, GrowthStep(*r))) {
    r->bOutOfRoom = true;  // the room left still takes the NUL of the value being ended
    return false;
  }
  r->result = DecodeNextByte(&r->source, &r->current, raw);
  return r->result != kDecodeEnd;
}

bool IsLineEnd(uint8_t byte) { return byte == CR || byte == LF; }

void StoreValue(Reader* r, uint8_t byte) {
  StoreValueByte(&r->list, byte);
  r->bNonPrintable |= NonPrintable(byte);
}

// True when the `length` bytes at `line` begin with the boundary. Without a boundary no line does.
bool StartsWithBoundary(const Reader& r, const void* line, size_t length) {
  return r.bBoundaryTaken && r.nBoundaryLength > 0 && length >= static_cast<size_t>(r.nBoundaryLength) &&
         *static_cast<const char*>(line) == r.szBoundary[0] &&
         std::memcmp(line, r.szBoundary, r.nBoundaryLength) == 0;
}

// A name: the bytes up to a separator, the first 256 kept. kInputEnded at the end of the input.
Outcome ReadName(Reader* r) {
  r->nNameLength = 0;
  while (!IsFieldSeparator(r->current)) {
    if (r->nNameLength < kNameBytes) r->pName[r->nNameLength++] = static_cast<char>(r->current);
    if (!Read(r, false)) return kInputEnded;
  }
  r->pName[r->nNameLength] = '\0';
  return kGoOn;
}

// A URL-encoded value, up to the first separator that was not escaped (consumed with it).
void ReadEncodedValue(Reader* r) {
  while (Read(r, false) && (!IsFieldSeparator(r->current) || r->result == kDecodeEscaped)) {
    StoreValue(r, r->current);
  }
}

// The part header after the field name's closing quote, up to the empty line that ends it. Returns
// whether the part is an upload (a ';' and a space right behind the quote) and the file name it
// sends: the first quoted text after them.
Outcome ReadPartHeader(Reader* r, bool* isUpload, char* clientName, int* clientLength) {
  if (!Read(r, true)) return kInputEnded;
  int fileState = r->current == ';' ? 1 : 0;
  if (!Read(r, true)) return kInputEnded;
  bool collecting = false;
  bool collected = false;
  bool lineEnd = false;
  *clientLength = 0;
  for (;;) {
    const uint8_t b = r->current;
    if (b == ' ' && fileState == 1) {
      fileState = 2;
    } else if (fileState != 2) {
      fileState = 0;
    }
    if (collecting) {
      if (b == QUOTE) {
        collecting = false;
        collected = true;
      } else if (*clientLength < kClientNameBytes) {
        clientName[(*clientLength)++] = static_cast<char>(b);
      } else {
        *clientLength = kClientNameBytes + 1;  // too long to be a name: refused later
      }
    } else if (fileState == 2 && !collected && b == QUOTE) {
      collecting = true;
    }
    if (b == LF) {
      if (lineEnd) break;
      lineEnd = true;
    } else if (b != CR && b != QUOTE) {
      lineEnd = false;
    }
    if (!Read(r, true)) return kInputEnded;
  }
  *isUpload = fileState == 2;
  if (!collected && collecting) *clientLength = kClientNameBytes + 1;  // no closing quote
  return kGoOn;
}

// How many of the `count` line-end bytes that came last before a boundary line belong to the
// delimiter: a CR LF, else the one LF or CR (bodies written with bare line ends keep the bytes
// before them).
size_t DelimiterLineEnd(const uint8_t* ends, size_t count) {
  if (count >= 2 && ends[count - 2] == CR && ends[count - 1] == LF) return 2;
  return count > 0 ? 1 : 0;
}

// The line-end bytes behind the last data line: the next data line shows they are data; before
// the boundary line, the delimiter's own line end is dropped.
struct HeldBack {
  uint8_t bytes[kHeldBackBytes];
  int count;
};

bool WriteUpload(Reader* r, const uint8_t* bytes, uint32_t count) {
  return UploadWrite(&r->upload, bytes, count);
}

// Writes the held-back bytes, then `count` bytes of a data line.
bool WriteLine(Reader* r, HeldBack* held, const uint8_t* line, uint32_t count) {
  const bool ok = WriteUpload(r, held->bytes, static_cast<uint32_t>(held->count)) && WriteUpload(r, line, count);
  held->count = 0;
  return ok;
}

// Holds back one more line-end byte. A longer run than the area holds: all but its last two bytes
// are data for certain (a delimiter's line end is two bytes at most).
bool HoldBack(Reader* r, HeldBack* held, uint8_t ending) {
  if (held->count == kHeldBackBytes) {
    if (!WriteUpload(r, held->bytes, kHeldBackBytes - 2)) return false;
    held->bytes[0] = held->bytes[kHeldBackBytes - 2];
    held->bytes[1] = held->bytes[kHeldBackBytes - 1];
    held->count = 2;
  }
  held->bytes[held->count++] = ending;
  return true;
}

// Index of the first CR or LF among `count` bytes, or `count`. Uploads are split at every one of
// them, so this scan is the reader's inner loop: 16 bytes a step where SSE2 is at hand.
int32_t FindLineEnd(const uint8_t* bytes, int32_t count) {
  int32_t k = 0;
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8(static_cast<char>(CR));
  const __m128i lf = _mm_set1_epi8(static_cast<char>(LF));
  for (; k + 16 <= count; k += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + k));
    const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, cr), _mm_cmpeq_epi8(block, lf)));
    if (mask != 0) return k + __builtin_ctz(static_cast<unsigned>(mask));
  }
#endif
  for (; k < count; ++k) {
    if (bytes[k] == CR || bytes[k] == LF) return k;
  }
  return count;
}

// At the boundary line: the line ends held back are data but for the delimiter's own line end.
bool DropDelimiterLineEnd(Reader* r, HeldBack* held) {
  const size_t data = static_cast<size_t>(held->count) - DelimiterLineEnd(held->bytes, static_cast<size_t>(held->count));
  held->count = 0;
  return data == 0 || WriteUpload(r, held->bytes, static_cast<uint32_t>(data));
}

enum LineStep { kLinesGoOn, kLinesBoundary, kLinesFailed };

// Whole lines shorter than kTransferBytes that lie inside the bytes at hand, straight from the
// source; *taken gets the bytes used. Equal to passing them through the transfer buffer: every
// byte up to the last data line's end is data and goes out in one write, and the line ends behind
// it join the held-back bytes.
LineStep TakeWholeLines(Reader* r, HeldBack* held, const uint8_t* bytes, int32_t available, int32_t* taken) {
  int32_t at = 0;
  int32_t dataEnd = 0;  // bytes[0..dataEnd) are data, once a data line came
  bool boundary = false;
  for (;;) {
    const int32_t length = FindLineEnd(bytes + at, available - at);
    // A line the buffer would fill is left to the buffer: its boundary test sees only the rest.
    if (at + length == available || length >= static_cast<int32_t>(kTransferBytes)) break;
    if (length > 0 && StartsWithBoundary(*r, bytes + at, static_cast<size_t>(length))) {
      boundary = true;
      break;
    }
    if (length > 0) dataEnd = at + length;
    at += length + 1;
  }
  if (dataEnd > 0 && !WriteLine(r, held, bytes, static_cast<uint32_t>(dataEnd))) return kLinesFailed;
  for (int32_t k = dataEnd; k < at; ++k) {
    if (!HoldBack(r, held, bytes[k])) return kLinesFailed;
  }
  if (!boundary) {
    *taken = at;
    return kLinesGoOn;
  }
  *taken = at + FindLineEnd(bytes + at, available - at) + 1;
  return kLinesBoundary;
}

// An upload's data, line by line, up to the boundary line. A line goes through the 8192-byte
// transfer buffer (written out whenever it fills), so the boundary test sees what the buffer holds
// at the line's end; lines that lie whole in the source's bytes are taken from there directly.
Outcome ReadUploadData(Reader* r) {
  HeldBack held;
  held.count = 0;
  uint32_t used = 0;  // bytes of the current line in the transfer buffer
  for (;;) {
    const uint8_t* bytes = nullptr;
    int32_t available = PeekBytes(&r->source, &bytes);
    if (available == 0) {
      // The input ended: right after the closing delimiter, or inside the data (keep what came).
      if (used > 0 && StartsWithBoundary(*r, r->pTransfer, used)) {
        return DropDelimiterLineEnd(r, &held) ? kInputEnded : kReadFailed;
      }
      if (!WriteLine(r, &held, r->pTransfer, used)) return kReadFailed;
      return kInputEnded;
    }
    if (used == 0) {
      int32_t taken = 0;
      const LineStep step = TakeWholeLines(r, &held, bytes, available, &taken);
      ConsumeBytes(&r->source, taken);
      if (step == kLinesFailed) return kReadFailed;
      if (step == kLinesBoundary) break;
      bytes += taken;
      available -= taken;
      if (available == 0) continue;
    }

    // A line that runs past the bytes at hand, or a long one: through the transfer buffer.
    const int32_t run = FindLineEnd(bytes, available);
    for (int32_t taken = 0; taken < run;) {
      const uint32_t part = std::min<uint32_t>(kTransferBytes - used, static_cast<uint32_t>(run - taken));
      std::memcpy(r->pTransfer + used, bytes + taken, part);
      used += part;
      taken += static_cast<int32_t>(part);
      if (used == kTransferBytes) {
        if (!WriteLine(r, &held, r->pTransfer, used)) return kReadFailed;
        used = 0;
      }
    }
    ConsumeBytes(&r->source, run);
    if (run == available) continue;

    const uint8_t ending = bytes[run];
    ConsumeBytes(&r->source, 1);
    if (used > 0 && StartsWithBoundary(*r, r->pTransfer, used)) break;
    if (used > 0 && !WriteLine(r, &held, r->pTransfer, used)) return kReadFailed;
    used = 0;
    if (!HoldBack(r, &held, ending)) return kReadFailed;
  }
  return DropDelimiterLineEnd(r, &held) ? kGoOn : kReadFailed;
}

// Saves an upload part; its value is the saved file's path (empty when the name was refused).
Outcome ReadUpload(Reader* r, const char* clientName, int clientLength) {
  CHAR path[MAX_PATH];
  HANDLE file = INVALID_HANDLE_VALUE;
  const UploadOpen opened = clientLength <= kClientNameBytes
                                ? OpenUploadFile(&r->uploads, clientName, clientLength, path, &file)
                                : kUploadRefused;
  if (opened == kUploadRefused) path[0] = '\0';
  r->upload.nTarget = opened == kUploadRefused  ? kUploadDropped
                      : opened == kUploadOpened ? kUploadToFile
                                                : kUploadUnwritable;
  r->upload.hFile = file;
  r->upload.nUsed = 0;
  r->upload.bFailed = false;
  r->upload.pBlock = static_cast<uint8_t*>(HeapAlloc(GetProcessHeap(), 0, UPLOAD_BLOCK_BYTES + kTransferBytes));
  if (r->upload.pBlock == nullptr) {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (opened == kUploadOpened) DeleteFileA(path);
    r->upload = UploadWriter{kUploadDropped, INVALID_HANDLE_VALUE, nullptr, 0, false};
    return kReadFailed;
  }
  r->pTransfer = r->upload.pBlock + UPLOAD_BLOCK_BYTES;

  Outcome outcome = ReadUploadData(r);
  if (outcome != kReadFailed && !UploadFlush(&r->upload)) outcome = kReadFailed;
  if (r->upload.bFailed) r->bUploadFailed = true;
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  // A part the disk could not take is no file to keep: the space goes back at once. Nor is a part
  // whose body was cut: its end never came.
  if ((outcome == kReadFailed || r->source.bCut) && opened == kUploadOpened) DeleteFileA(path);
  HeapFree(GetProcessHeap(), 0, r->upload.pBlock);
  r->upload = UploadWriter{kUploadDropped, INVALID_HANDLE_VALUE, nullptr, 0, false};
  r->pTransfer = nullptr;
  if (outcome == kReadFailed) return kReadFailed;

  // The path can be longer than the text that named the file: make room for it.
  const size_t pathLength = static_cast<size_t>(lstrlenA(path));
  const size_t roomAfter =
      r->bValueBufferGrows ? kValueRoomAhead : static_cast<size_t>(RemainingInput(&r->source)) + 1;
  if (!EnsureValueRoom(&r->list, pathLength + 1 + roomAfter)) {
    return kReadFailed;
  }
  for (size_t k = 0; k < pathLength; ++k) StoreValue(r, static_cast<uint8_t>(path[k]));
  return outcome;
}

// A multipart value: the part's bytes up to the boundary line, less the line end before it. The
// input may end right after the closing delimiter, without a line end of its own.
Outcome ReadPartValue(Reader* r) {
  FormFieldList& list = r->list;
  const size_t valueStart = list.nWritePosition;
  size_t lineStart = valueStart;
  bool lineEndSeen = false;
  Outcome outcome = kGoOn;
  for (;;) {
    const bool more = Read(r, true);
    const size_t lineLength = list.nWritePosition - lineStart;
    const bool lineEnds = !more || IsLineEnd(r->current);
    if (lineEnds && lineLength > 0 && StartsWithBoundary(*r, list.pValueBuffer + lineStart, lineLength)) {
      if (!more) outcome = kInputEnded;
      break;
    }
    if (!more) return kInputEnded;  // the input ended inside the data: keep what came
    StoreValue(r, r->current);
    if (lineEnds) {
      lineEndSeen = true;
      lineStart = list.nWritePosition;
    }
  }
  // Take the boundary line off again, then the line end before it.
  list.nWritePosition = lineStart;
  if (lineEndSeen) {
    const size_t held = list.nWritePosition - valueStart < 2 ? list.nWritePosition - valueStart : 2;
    list.nWritePosition -= DelimiterLineEnd(
        reinterpret_cast<const uint8_t*>(list.pValueBuffer + list.nWritePosition - held), held);
  }
  return outcome;
}

// One multipart part after its name: the header, then the upload or the value.
Outcome ReadPart(Reader* r) {
  bool isUpload = false;
  char clientName[kClientNameBytes];
  int clientLength = 0;
  if (ReadPartHeader(r, &isUpload, clientName, &clientLength) != kGoOn) return kHeaderCut;
  if (isUpload) return ReadUpload(r, clientName, clientLength);
  return ReadPartValue(r);
}

// A `_charset_` field, as browsers fill it in, declares the encoding of what follows it: the file
// names of later uploads are converted from it.
void NoteDeclaredCharset(Reader* r) {
  const FormField* field = r->list.pTail;
  FormCharset charset = kCharsetAuto;
  if (FieldDeclaresCharset(field->szName, field->pValue, field->nValueLength, &charset)) r->uploads.charset = charset;
}

// Step by step from the first byte to the end of the input.
Outcome ParseFields(Reader* r) {
  if (!Read(r, false)) return kInputEnded;
  for (;;) {
    // Between fields: line ends and quotes.
    while (r->current == CR || r->current == LF || r->current == QUOTE) {
      if (!Read(r, false)) return kInputEnded;
    }
    // Names until one begins a field.
    for (;;) {
      if (ReadName(r) == kInputEnded) return kInputEnded;
      if (r->nNameLength >= kNameBytes) return kReadFailed;
      const bool assigned = r->current == '=' || r->current == QUOTE;
      if (assigned && !(r->nNameLength >= 8 && std::memcmp(r->pName, "Content-", 8) == 0)) break;
      if (!assigned && !r->bBoundaryTaken) {
        // The first bare name is the boundary line, and the body is multipart from here on.
        const int length = r->nNameLength < kBoundaryBytes ? r->nNameLength : kBoundaryBytes;
        std::memcpy(r->szBoundary, r->pName, length);
        r->szBoundary[length] = '\0';
        r->nBoundaryLength = MeasureText(r->szBoundary);
        // Blanks behind the boundary are transport padding, which no delimiter line has to repeat.
        while (r->nBoundaryLength > 0 &&
               (r->szBoundary[r->nBoundaryLength - 1] == ' ' || r->szBoundary[r->nBoundaryLength - 1] == '\t')) {
          r->szBoundary[--r->nBoundaryLength] = '\0';
        }
        r->bBoundaryTaken = true;
      }
      do {
        if (!Read(r, false)) return kInputEnded;
      } while (r->current == CR || r->current == LF || r->current == QUOTE);
      r->bMultipart = true;
    }

    // A field begins.
    r->nCount++;
    if (r->nMaxFields > 0 && r->nCount > r->nMaxFields) return kTooManyFields;
    r->bNonPrintable = 0;
    Outcome outcome = kGoOn;
    if (r->bMultipart) {
      outcome = ReadPart(r);
      if (outcome == kReadFailed) return kReadFailed;
      if (outcome == kHeaderCut) return kInputEnded;  // counted, not listed
    } else {
      ReadEncodedValue(r);
    }
    if (!AppendFormField(&r->list, r->pName, r->bNonPrintable)) return kReadFailed;
    NoteDeclaredCharset(r);
    if (outcome == kInputEnded || !Read(r, false)) return kInputEnded;
  }
}

}  // namespace

FormField* ReadFormFieldsWith(EXTENSION_CONTROL_BLOCK* ecb, int32_t* count, const FormReadOptions& options,
                              FormReadEnd* end) {
  *count = 0;
  *end = kFormReadComplete;
  const bool post = lstrcmpiA(ecb->lpszMethod, "POST") == 0;
  const bool get = lstrcmpiA(ecb->lpszMethod, "GET") == 0;
  if (!post && !get) return nullptr;

  Reader r{};
  r.nMaxFields = options.nMaxFields;
  r.uploads.szWanted = options.szUploadDirectory;
  r.uploads.bWantedMade = options.szUploadDirectory != nullptr && options.bUploadDirectoryMade;
  r.uploads.charset = static_cast<FormCharset>(options.nCharset);
  r.uploads.szTempDirectory = options.szTempDirectory;
  r.pName = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, kNameBytes + 1));
  if (r.pName == nullptr) {
    *end = kFormReadFailed;
    return nullptr;
  }
  // Every value byte comes from at least one input byte, and each value's NUL from the separator
  // after it (the last one's from the +1): the whole input's length is always room enough.
  const uint64_t queryLength = static_cast<uint64_t>(lstrlenA(ecb->lpszQueryString));
  const uint64_t wholeInput = queryLength + ecb->cbTotalBytes + 1;
  const bool lengthKnown = ecb->cbTotalBytes != 0xFFFFFFFF;
  const uint64_t upfront = options.nFirstValueBytes != 0 ? options.nFirstValueBytes : kUpfrontValueBytes;
  r.bValueBufferGrows = !lengthKnown || wholeInput > upfront;
  r.bLengthKnown = lengthKnown;
  // A long input of known length starts small: its first growth takes the rest whole, and what it
  // leaves behind is the little it started with.
  const uint64_t first = !r.bValueBufferGrows                           ? wholeInput
                         : lengthKnown && options.nFirstValueBytes == 0 ? FORM_CHUNK_BYTES
                                                                        : upfront;
  if (!StartFormFieldList(&r.list, static_cast<size_t>(first))) {
    HeapFree(GetProcessHeap(), 0, r.pName);
    *end = kFormReadFailed;
    return nullptr;
  }
  BeginFormSource(&r.source, ecb, post ? kBodySource : kQuerySource);

  const Outcome outcome = ParseFields(&r);
  *count = r.nCount;
  HeapFree(GetProcessHeap(), 0, r.pName);
  ReleaseSource(&r.source);
  RemoveUploadDirectoryIfEmpty(&r.uploads);
  if (outcome == kReadFailed || outcome == kTooManyFields || r.bOutOfRoom || r.source.bCut) {
    *end = outcome == kTooManyFields ? kFormReadTooManyFields
           : r.source.bTooLarge      ? kFormReadTooLarge
           : r.source.bCut           ? kFormReadCut
           : r.bUploadFailed         ? kFormReadUploadFailed
                                     : kFormReadFailed;
    ReleaseFormFieldList(&r.list);
    return nullptr;
  }
  ReleaseSameNameIndex(&r.list);
  if (r.list.pHead == nullptr) ReleaseFormFieldList(&r.list);
  return r.list.pHead;
}

FormField* ReadFormFields(EXTENSION_CONTROL_BLOCK* ecb, int32_t* count) {
  FormReadEnd end = kFormReadComplete;
  return ReadFormFieldsWith(ecb, count, FormReadOptions{nullptr, 0, 0, kCharsetAuto, false, nullptr}, &end);
}
