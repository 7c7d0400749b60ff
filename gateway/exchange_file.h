// Writes the exchange file's request side: one per request, in the temporary directory, the only
// thing that passes to the back-end program. It only writes bytes: what goes in (the fields, the
// back-end field taken, how uploads are named) the request's road decided before (request_driver.h).
// All numbers little-endian 32-bit.
//
//   0    method digit '1' POST/post, '2' GET/get, '0' otherwise; 1 a blank; 2-3 zero
//   4    ConnID (low 32 bits)      8    field count
//   12   REMOTE_ADDR, 256 bytes    268  REMOTE_USER, 256 bytes (NUL-terminated, zero behind)
//   524  field index: per field 16 bytes: name offset, name length, value offset, value length
//   then each field's name record (name up to its first byte below 9, and a NUL) and value record
//   (the value converted to Shift-JIS when it is JIS or EUC-JP: text and NUL; else the value, a NUL
//   and one zero byte, its length counting the NUL).
// Offsets count the file's first byte as 1 for the fields before the first VCEXE field taken, and
// as 0 from that field on.
#ifndef KARVEL_GATEWAY_EXCHANGE_FILE_H
#define KARVEL_GATEWAY_EXCHANGE_FILE_H

#include <cstdint>

#include "backend/karvel_exchange_layout.h"
#include "gateway/field_list.h"
#include "gateway/form_charset.h"
#include "gateway/gathered_file.h"
#include "isapi/httpext.h"

constexpr DWORD EXCHANGE_HEADER_BYTES = KARVEL_EXCHANGE_HEADER_BYTES;
constexpr DWORD EXCHANGE_ENTRY_BYTES = KARVEL_EXCHANGE_ENTRY_BYTES;
constexpr DWORD EXCHANGE_FIELD_COUNT_AT = KARVEL_EXCHANGE_FIELD_COUNT_AT;
constexpr DWORD EXCHANGE_CLIENT_ADDR_AT = KARVEL_EXCHANGE_CLIENT_ADDR_AT;
constexpr DWORD EXCHANGE_CLIENT_USER_AT = KARVEL_EXCHANGE_CLIENT_USER_AT;
constexpr DWORD EXCHANGE_VARIABLE_BYTES = KARVEL_EXCHANGE_TEXT_BYTES;

// How the records are written, as the request's road decided it before.
struct ExchangeContent {
  FormField* pFields;          // the form's fields, in order
  int32_t nFieldCount;         // records written: the first this many fields
  FormCharset charset;         // the encoding the form declares; kCharsetAuto: each value detected
  LPCSTR szUploadDirectory;    // the request's uploads: a value naming a file in it is written as it is
  int32_t nVcexeField;         // the VCEXE field taken: offsets count from 1 before it, from 0 from it
                               // on; -1: none taken
  const LPCSTR* pGivenValues;  // where not null: per field, text written in its value's place
                               // (null: the value itself); an upload's path as its program opens it
};

// One exchange file being written, its writes gathered in memory (gathered_file.h).
struct ExchangeWriter {
  HANDLE hFile;
  GatheredFile* pGathered;
  BYTE* pHeader;  // EXCHANGE_HEADER_BYTES, written again at the end
  BYTE* pIndex;   // the field index, written again at the end
  DWORD dwIndexBytes;
};

// Starts the file `file` (new, empty, open for writing; the writer closes it): the header block,
// from the request's method, ConnID and client (REMOTE_ADDR, REMOTE_USER), its field count to come.
// Null, or ERROR_TEXT_TEMP_WRITE.
LPCSTR BeginExchangeFile(EXTENSION_CONTROL_BLOCK* ecb, HANDLE file, ExchangeWriter* writer);

// The field count into the header, and the index's place behind it, zero until the records fill it.
LPCSTR WriteFieldIndex(ExchangeWriter* writer, int32_t fieldCount);

// The name and value records of every field, with their index entries (value records: see the
// layout above; an upload's path, and a given value, as it is).
LPCSTR WriteFieldRecords(ExchangeWriter* writer, const ExchangeContent& content);

// Ends the file: when `failure` is null, the header and index written again over their places;
// in every case what was gathered goes to the file, which is closed (a failed request's file, too,
// holds what was gathered up to the failure, for the caller to discard). Returns `failure`, or
// ERROR_TEXT_TEMP_WRITE when the last writes failed.
LPCSTR EndExchangeFile(ExchangeWriter* writer, LPCSTR failure);

#endif  // KARVEL_GATEWAY_EXCHANGE_FILE_H
