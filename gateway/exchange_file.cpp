// Writes the request side of the exchange file in one pass: the header block and the field index
// are gathered first as placeholders and written over at the end, once the field count and every
// offset are known. The writes are gathered in memory, so a small request's file reaches the disk
// in one write.
#include "gateway/exchange_file.h"

#include <cstring>

#include "gateway/error_page.h"
#include "gateway/form_reader.h"
#include "gateway/gathered_file.h"
#include "gateway/request_settings.h"
#include "gateway/wine_request.h"
#include "jpcodec/converters.h"
#include "platform/request_files.h"
#include "platform/windows_paths.h"

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

// Which back-end program the form names: the first VBEXE field, else the first VCEXE field.
struct Selection {
  bool bVcexeTaken;
  bool bVbexeTaken;
};

// Takes the field's value as the back-end path when the field is the one that decides it; false when
// that value is longer than BACKEND_PATH_LIMIT.
bool SelectBackend(Selection* selection, const char* name, const char* value, int32_t length, CHAR* path) {
  if (selection->bVbexeTaken) return true;
  const bool vcexe = std::strncmp(name, "VCEXE", 5) == 0;
  const bool vbexe = std::strncmp(name, "VBEXE", 5) == 0;
  if (!(vcexe && !selection->bVcexeTaken) && !vbexe) return true;
  if (length > BACKEND_PATH_LIMIT) return false;
  std::memcpy(path, value, static_cast<size_t>(length));
  path[length] = '\0';
  if (vcexe && !selection->bVcexeTaken) {
    selection->bVcexeTaken = true;
  } else {
    selection->bVbexeTaken = true;
  }
  return true;
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

// An upload's path as a program under Wine opens it ("Z:\\..."), in the record shape of a value left
// as it came.
bool WriteWindowsPathRecord(GatheredFile* file, const char* value, int32_t length, DWORD* recordLength) {
  if (length <= 0 || length >= MAX_PATH) return false;
  CHAR saved[MAX_PATH];
  std::memcpy(saved, value, static_cast<size_t>(length));
  saved[length] = '\0';
  // The name it is given may have grown by a number, where another upload's name converts alike.
  CHAR* path = static_cast<CHAR*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, MAX_PATH));
  if (path == nullptr) return false;
  const bool named = NameUploadForWine(saved, path);
  const size_t room = std::strlen(path) + 3;
  CHAR* windows = static_cast<CHAR*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, room));
  const bool converted = named && windows != nullptr && WindowsPathOf(path, windows, room);
  const bool written = converted && WriteDeclaredValueRecord(file, kCharsetAuto, windows,
                                                             static_cast<int32_t>(std::strlen(windows)), recordLength);
  HeapFree(GetProcessHeap(), 0, path);
  if (windows != nullptr) HeapFree(GetProcessHeap(), 0, windows);
  return written;
}

// The encoding the form declares: its first `_charset_` field naming one, else what the site or
// the request said.
FormCharset DeclaredCharset(FormField* list, FormCharset otherwise) {
  for (FormField* field = list; field != nullptr; field = field->pNext) {
    FormCharset charset = kCharsetAuto;
    if (lstrcmpiA(field->szName, "_charset_") == 0 &&
        FormCharsetNamed(field->pValue, static_cast<size_t>(field->nValueLength), &charset)) {
      return charset;
    }
  }
  return otherwise;
}

// Whether the value is the path of a file this request uploaded: saved under a Shift-JIS name
// already, it is written as it is.
bool IsRequestUpload(const ExchangeRequest& request, const char* value, int32_t length) {
  const size_t directory = std::strlen(request.szUploadDirectory);
  return directory > 0 && static_cast<size_t>(length) > directory + 1 &&
         std::memcmp(value, request.szUploadDirectory, directory) == 0 && IsPathSeparator(value[directory]);
}

// The program the form names (the first VBEXE field's value, else the first VCEXE field's), found
// before the records are written: whether it runs under Wine decides how uploads are given. Only
// a request with uploads asks (the answer costs a path resolution and a look into the program).
bool RunsUnderWine(EXTENSION_CONTROL_BLOCK* ecb, FormField* list, const ExchangeRequest& request) {
  Selection selection{false, false};
  CHAR requested[MAX_PATH] = "";
  bool uploads = false;
  for (FormField* field = list; field != nullptr; field = field->pNext) {
    char* name = nullptr;
    int32_t valueLength = 0;
    GetFormField(field, &name, &valueLength, nullptr, nullptr);
    const char* value = GetFormFieldValue(field);
    uploads = uploads || IsRequestUpload(request, value, valueLength);
    if (!SelectBackend(&selection, name, value, valueLength, requested)) return false;
  }
  if (!uploads) return false;
  MapWindowsProgramPath(ecb, requested);
  return requested[0] != '\0' && ProgramRunsUnderWine(ecb, requested, request.szBackendDirectory);
}

// The name and value records of every field, with their index entries; null or the failure text.
LPCSTR WriteRecords(GatheredFile* file, FormField* list, int32_t fieldCount, BYTE* index, FormCharset charset,
                    ExchangeRequest* out) {
  Selection selection{false, false};
  int32_t k = 0;
  for (FormField* field = list; field != nullptr && k < fieldCount; field = field->pNext, ++k) {
    char* name = nullptr;
    int32_t valueLength = 0;
    GetFormField(field, &name, &valueLength, nullptr, nullptr);
    const char* value = GetFormFieldValue(field);
    if (!SelectBackend(&selection, name, value, valueLength, out->szBackendPath)) return ERROR_TEXT_TEMP_WRITE;
    const DWORD base = selection.bVcexeTaken ? 0 : 1;
    BYTE* entry = index + static_cast<size_t>(k) * EXCHANGE_ENTRY_BYTES;

    const DWORD nameLength = MeasureText(name);
    PutNumber(entry, GatheredOffset(*file) + base);
    PutNumber(entry + 4, nameLength + 1);
    if (!GatherBytes(file, name, nameLength) || !GatherBytes(file, "", 1)) return ERROR_TEXT_TEMP_WRITE;

    DWORD recordLength = 0;
    PutNumber(entry + 8, GatheredOffset(*file) + base);
    const bool upload = IsRequestUpload(*out, value, valueLength);
    const bool written = upload && out->bUnderWine
                             ? WriteWindowsPathRecord(file, value, valueLength, &recordLength)
                         : upload
                             ? WriteDeclaredValueRecord(file, kCharsetAuto, value, valueLength, &recordLength)
                         : charset == kCharsetAuto
                             ? WriteValueRecord(file, value, valueLength, &recordLength)
                             : WriteDeclaredValueRecord(file, charset, value, valueLength, &recordLength);
    if (!written) return ERROR_TEXT_TEMP_WRITE;
    PutNumber(entry + 12, recordLength);
  }
  out->bVcexeTaken = selection.bVcexeTaken;
  return nullptr;
}

// Steps after the file is open: header, form, index, records, final header and index.
LPCSTR FillExchangeFile(EXTENSION_CONTROL_BLOCK* ecb, GatheredFile* file, BYTE* header, ExchangeRequest* out) {
  FillHeader(ecb, header);
  if (!GatherBytes(file, header, EXCHANGE_HEADER_BYTES)) return ERROR_TEXT_TEMP_WRITE;

  int32_t fieldCount = 0;
  FormReadEnd end = kFormReadComplete;
  const FormCharset requested = FormCharsetFor(ecb);
  FormField* list = ReadFormFieldsWith(ecb, &fieldCount,
                                       FormReadOptions{out->szUploadDirectory, MaxFieldsFor(ecb), 0, requested, true}, &end);
  if (end == kFormReadTooManyFields) return ERROR_TEXT_TOO_MANY_FIELDS;
  // A cut form (amount=10 of amount=1000) must not reach a program, which could not tell it from
  // the form sent: the exchange file carries no length. The data could not be written whole.
  if (end == kFormReadCut) {
    out->bBodyCut = true;
    return ERROR_TEXT_TEMP_WRITE;
  }
  PutNumber(header + EXCHANGE_FIELD_COUNT_AT, static_cast<DWORD>(fieldCount));
  const size_t indexBytes = static_cast<size_t>(fieldCount) * EXCHANGE_ENTRY_BYTES;
  // Entries the list does not fill stay zero.
  BYTE* index = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, indexBytes + 1));
  LPCSTR failure = nullptr;
  if (index == nullptr) {
    failure = ERROR_TEXT_TEMP_WRITE;
  } else if (!GatherBytes(file, index, static_cast<DWORD>(indexBytes))) {
    failure = ERROR_TEXT_TEMP_WRITE;
  } else if (list == nullptr) {
    failure = ERROR_TEXT_KEY_CREATE;
  } else {
    out->bUnderWine = RunsUnderWine(ecb, list, *out);
    failure = WriteRecords(file, list, fieldCount, index, DeclaredCharset(list, requested), out);
    MapWindowsProgramPath(ecb, out->szBackendPath);
  }
  FreeFormFields(list);
  if (failure == nullptr &&
      (!OverwriteGathered(file, 0, header, EXCHANGE_HEADER_BYTES) ||
       !OverwriteGathered(file, EXCHANGE_HEADER_BYTES, index, static_cast<DWORD>(indexBytes)))) {
    failure = ERROR_TEXT_TEMP_WRITE;
  }
  if (index != nullptr) HeapFree(GetProcessHeap(), 0, index);
  return failure;
}

}  // namespace

LPCSTR WriteExchangeFile(EXTENSION_CONTROL_BLOCK* ecb, ExchangeRequest* out) {
  out->szExchangePath[0] = '\0';
  out->szUploadDirectory[0] = '\0';
  out->szBackendPath[0] = '\0';
  out->bVcexeTaken = false;
  out->bUnderWine = false;
  out->szBackendDirectory[0] = '\0';
  // A site setting that cannot be read refuses the request before anything is made for it.
  if (const LPCSTR unfit = UnfitSettingText(ecb)) return unfit;
  if (!BackendDirectoryFor(ecb, out->szBackendDirectory)) return ERROR_TEXT_EXE_LOAD;
  out->bBodyCut = false;
  out->nBackendTimeout = BackendTimeoutFor(ecb);
  // The file is made empty under a random name and written through the handle that made it; its
  // upload directory, named with the same digits, is made before it, so that nobody who sees the
  // file appear in a shared directory can take the directory's name first.
  CHAR tempPath[MAX_PATH];
  HANDLE file = INVALID_HANDLE_VALUE;
  if (!TempDirectoryFor(ecb, tempPath) ||
      !CreateRequestPair(tempPath, out->szExchangePath, out->szUploadDirectory, &file)) {
    return ERROR_TEXT_TEMP_OPEN;
  }

  // Zero-filled, so the bytes no step writes (2-3, behind the client texts) are zero.
  BYTE* header = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, EXCHANGE_HEADER_BYTES));
  GatheredFile* gathered = static_cast<GatheredFile*>(HeapAlloc(GetProcessHeap(), 0, sizeof(GatheredFile)));
  LPCSTR failure = ERROR_TEXT_TEMP_WRITE;
  if (header != nullptr && gathered != nullptr) {
    BeginGathering(gathered, file);
    failure = FillExchangeFile(ecb, gathered, header, out);
    // A failed request's file, too, holds what was gathered up to the failure.
    if (!FlushGathered(gathered) && failure == nullptr) failure = ERROR_TEXT_TEMP_WRITE;
  }
  if (gathered != nullptr) HeapFree(GetProcessHeap(), 0, gathered);
  if (header != nullptr) HeapFree(GetProcessHeap(), 0, header);
  CloseHandle(file);
  return failure;
}

void DiscardExchangeFiles(const ExchangeRequest& request) {
  if (request.szExchangePath[0] != '\0') DeleteFileA(request.szExchangePath);
  if (request.szUploadDirectory[0] != '\0') RemoveRequestDirectory(request.szUploadDirectory);
}
