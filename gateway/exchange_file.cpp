// Writes the request side of the exchange file in one pass: the header block and the field index
// are gathered first as placeholders and written over at the end, once the field count and every
// offset are known. The writes are gathered in memory, so a small request's file reaches the disk
// in one write.
#include "gateway/exchange_file.h"

#include <cstring>

#include "gateway/error_page.h"
#include "gateway/request_record.h"
#include "jpcodec/converters.h"

namespace {

void PutNumber(BYTE* at, DWORD value) {
  at[0] = static_cast<BYTE>(value);
  at[1] = static_cast<BYTE>(value >> 8);
  at[2] = static_cast<BYTE>(value >> 16);
  at[3] = static_cast<BYTE>(value >> 24);
}

// Method digit (case-sensitive, unlike the form reader's choice of input), ConnID and client.
void FillHeader(EXTENSION_CONTROL_BLOCK* ecb, BYTE* header) {
  header[0] = '0';
  if (lstrcmpA(ecb->lpszMethod, "POST") == 0 || lstrcmpA(ecb->lpszMethod, "post") == 0) {
    header[0] = '1';
  } else if (lstrcmpA(ecb->lpszMethod, "GET") == 0 || lstrcmpA(ecb->lpszMethod, "get") == 0) {
    header[0] = '2';
  }
  header[1] = ' ';
  PutNumber(header + 4, static_cast<DWORD>(reinterpret_cast<uintptr_t>(ecb->ConnID)));
  const struct {
    const char* name;
    DWORD at;
  } variables[] = {{"REMOTE_ADDR", EXCHANGE_CLIENT_ADDR_AT}, {"REMOTE_USER", EXCHANGE_CLIENT_USER_AT}};
  for (const auto& variable : variables) {
    CHAR* text = reinterpret_cast<CHAR*>(header + variable.at);
    DWORD size = EXCHANGE_VARIABLE_BYTES;
    CHAR name[16];
    lstrcpyA(name, variable.name);
    if (!ecb->GetServerVariable(ecb->ConnID, name, text, &size)) text[0] = '\0';
    // A server that filled all 256 bytes without a NUL still leaves a text that ends in the field.
    text[EXCHANGE_VARIABLE_BYTES - 1] = '\0';
  }
}

// Converts `length` bytes of value block by block into the file, at most `most` bytes of it: the
// value is never held twice, however long it is. *converted gets the bytes written. False when
// the file or memory failed.
bool GatherConverted(GatheredFile* file, jpcodec::StreamCode code, const char* value, size_t length, size_t most,
                     size_t* converted) {
  *converted = 0;
  jpcodec::TextStream stream;
  if (!jpcodec::BeginTextStream(&stream, code, length)) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(value);
  bool written = true;
  for (size_t at = 0; written && !stream.bEnded;) {
    const size_t left = length - at;
    const auto count = static_cast<int32_t>(left < jpcodec::kStreamBlockBytes ? left : jpcodec::kStreamBlockBytes);
    const bool last = at + static_cast<size_t>(count) == length;
    const uint8_t* out = nullptr;
    int32_t made = jpcodec::ConvertStreamBlock(&stream, bytes + at, count, last, &out);
    if (static_cast<size_t>(made) > most - *converted) made = static_cast<int32_t>(most - *converted);
    written = made == 0 || GatherBytes(file, out, static_cast<DWORD>(made)) != FALSE;
    *converted += static_cast<size_t>(made);
    at += static_cast<size_t>(count);
    if (last) break;
  }
  jpcodec::EndTextStream(&stream);
  return written;
}

// The value record, converted to Shift-JIS as ConvertToSjis2 converts the value and its NUL: text
// that is JIS or EUC-JP becomes its Shift-JIS text and a NUL, its length not counting the NUL; any
// other value is left as it came and gets the length count + 1, its record the bytes, a NUL and
// one zero byte. The list keeps a NUL behind every value, which the detection stops at.
bool WriteValueRecord(GatheredFile* file, const char* value, int32_t length, DWORD* recordLength) {
  const size_t count = static_cast<size_t>(length);
  const jpcodec::DetectOutcome outcome =
      count + 1 > 0x7FFFFFFFu ? jpcodec::kUnchanged
                              : jpcodec::DetectCode(reinterpret_cast<const uint8_t*>(value), static_cast<int32_t>(count + 1));
  if (outcome == jpcodec::kUnchanged) {
    *recordLength = static_cast<DWORD>(count + 1);
    return GatherBytes(file, value, static_cast<DWORD>(count)) && GatherBytes(file, "\0", 2);
  }
  size_t converted = 0;
  // A lead byte last pairs with the NUL: the text may come out a byte longer than the value.
  if (!GatherConverted(file, outcome == jpcodec::kEucJp ? jpcodec::kStreamEuc : jpcodec::kStreamJis, value, count,
                       count + 1, &converted)) {
    return false;
  }
  *recordLength = static_cast<DWORD>(converted);
  return GatherBytes(file, "", 1) != FALSE;
}

// A value declared in an encoding, converted to Shift-JIS as ConvertDeclaredValue converts it; or
// a value that needs no conversion (an upload's path, already in Shift-JIS). Its record keeps the
// shape of a value left as it came: the bytes, a NUL and a zero byte, the length counting the NUL,
// so NUL bytes in it read back right.
bool WriteDeclaredValueRecord(GatheredFile* file, FormCharset charset, const char* value, int32_t length,
                              DWORD* recordLength) {
  const size_t count = static_cast<size_t>(length);
  size_t converted = count;
  bool written = false;
  switch (charset) {
    case kCharsetUtf8:
      written = GatherConverted(file, jpcodec::kStreamUtf8, value, count, DeclaredValueRoom(count), &converted);
      break;
    case kCharsetEucJp:
    case kCharsetIso2022Jp:
      // No longer than the value: a lead byte last, which pairs with the NUL, is cut off.
      written = GatherConverted(file, charset == kCharsetEucJp ? jpcodec::kStreamEuc : jpcodec::kStreamJis, value,
                                count, count, &converted);
      break;
    default:
      written = GatherBytes(file, value, static_cast<DWORD>(count)) != FALSE;
      break;
  }
  *recordLength = static_cast<DWORD>(converted + 1);
  return written && GatherBytes(file, "\0", 2) != FALSE;
}

// The name and value records of field k, with its index entry.
bool WriteField(GatheredFile* file, const ExchangeContent& content, FormField* field, int32_t k, BYTE* entry) {
  char* name = nullptr;
  int32_t valueLength = 0;
  GetFormField(field, &name, &valueLength, nullptr, nullptr);
  const char* value = GetFormFieldValue(field);
  const DWORD base = content.nVcexeField >= 0 && k >= content.nVcexeField ? 0 : 1;

  const DWORD nameLength = MeasureText(name);
  PutNumber(entry, GatheredOffset(*file) + base);
  PutNumber(entry + 4, nameLength + 1);
  if (!GatherBytes(file, name, nameLength) || !GatherBytes(file, "", 1)) return false;

  DWORD recordLength = 0;
  PutNumber(entry + 8, GatheredOffset(*file) + base);
  const LPCSTR given = content.pGivenValues != nullptr ? content.pGivenValues[k] : nullptr;
  const bool written =
      given != nullptr
          ? WriteDeclaredValueRecord(file, kCharsetAuto, given, static_cast<int32_t>(std::strlen(given)), &recordLength)
      : IsRequestUpload(content.szUploadDirectory, value, valueLength)
          ? WriteDeclaredValueRecord(file, kCharsetAuto, value, valueLength, &recordLength)
      : content.charset == kCharsetAuto ? WriteValueRecord(file, value, valueLength, &recordLength)
                                        : WriteDeclaredValueRecord(file, content.charset, value, valueLength, &recordLength);
  if (!written) return false;
  PutNumber(entry + 12, recordLength);
  return true;
}

}  // namespace

LPCSTR BeginExchangeFile(EXTENSION_CONTROL_BLOCK* ecb, HANDLE file, ExchangeWriter* writer) {
  writer->hFile = file;
  writer->pIndex = nullptr;
  writer->dwIndexBytes = 0;
  // Zero-filled, so the bytes no step writes (2-3, behind the client texts) are zero.
  writer->pHeader = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, EXCHANGE_HEADER_BYTES));
  writer->pGathered = static_cast<GatheredFile*>(HeapAlloc(GetProcessHeap(), 0, sizeof(GatheredFile)));
  if (writer->pHeader == nullptr || writer->pGathered == nullptr) return ERROR_TEXT_TEMP_WRITE;
  BeginGathering(writer->pGathered, file);
  FillHeader(ecb, writer->pHeader);
  return GatherBytes(writer->pGathered, writer->pHeader, EXCHANGE_HEADER_BYTES) ? nullptr : ERROR_TEXT_TEMP_WRITE;
}

LPCSTR WriteFieldIndex(ExchangeWriter* writer, int32_t fieldCount) {
  PutNumber(writer->pHeader + EXCHANGE_FIELD_COUNT_AT, static_cast<DWORD>(fieldCount));
  const size_t indexBytes = static_cast<size_t>(fieldCount) * EXCHANGE_ENTRY_BYTES;
  // Entries the list does not fill stay zero.
  writer->pIndex = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, indexBytes + 1));
  if (writer->pIndex == nullptr) return ERROR_TEXT_TEMP_WRITE;
  writer->dwIndexBytes = static_cast<DWORD>(indexBytes);
  return GatherBytes(writer->pGathered, writer->pIndex, writer->dwIndexBytes) ? nullptr : ERROR_TEXT_TEMP_WRITE;
}

LPCSTR WriteFieldRecords(ExchangeWriter* writer, const ExchangeContent& content) {
  int32_t k = 0;
  for (FormField* field = content.pFields; field != nullptr && k < content.nFieldCount; field = field->pNext, ++k) {
    BYTE* entry = writer->pIndex + static_cast<size_t>(k) * EXCHANGE_ENTRY_BYTES;
    if (!WriteField(writer->pGathered, content, field, k, entry)) return ERROR_TEXT_TEMP_WRITE;
  }
  return nullptr;
}

LPCSTR EndExchangeFile(ExchangeWriter* writer, LPCSTR failure) {
  if (writer->pGathered != nullptr && writer->pHeader != nullptr) {
    if (failure == nullptr &&
        (!OverwriteGathered(writer->pGathered, 0, writer->pHeader, EXCHANGE_HEADER_BYTES) ||
         !OverwriteGathered(writer->pGathered, EXCHANGE_HEADER_BYTES, writer->pIndex, writer->dwIndexBytes))) {
      failure = ERROR_TEXT_TEMP_WRITE;
    }
    // A failed request's file, too, holds what was gathered up to the failure.
    if (!FlushGathered(writer->pGathered) && failure == nullptr) failure = ERROR_TEXT_TEMP_WRITE;
  } else if (failure == nullptr) {
    failure = ERROR_TEXT_TEMP_WRITE;
  }
  if (writer->pIndex != nullptr) HeapFree(GetProcessHeap(), 0, writer->pIndex);
  if (writer->pGathered != nullptr) HeapFree(GetProcessHeap(), 0, writer->pGathered);
  if (writer->pHeader != nullptr) HeapFree(GetProcessHeap(), 0, writer->pHeader);
  writer->pIndex = nullptr;
  writer->pGathered = nullptr;
  writer->pHeader = nullptr;
  if (writer->hFile != INVALID_HANDLE_VALUE) CloseHandle(writer->hFile);
  writer->hFile = INVALID_HANDLE_VALUE;
  return failure;
}
