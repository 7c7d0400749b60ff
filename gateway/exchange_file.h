// The exchange file's request side: one per request, in the temporary directory, the only thing
// that passes to the back-end program. All numbers little-endian 32-bit.
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
#include "isapi/httpext.h"

#define EXCHANGE_HEADER_BYTES KARVEL_EXCHANGE_HEADER_BYTES
#define EXCHANGE_ENTRY_BYTES KARVEL_EXCHANGE_ENTRY_BYTES
#define EXCHANGE_FIELD_COUNT_AT KARVEL_EXCHANGE_FIELD_COUNT_AT
#define EXCHANGE_CLIENT_ADDR_AT KARVEL_EXCHANGE_CLIENT_ADDR_AT
#define EXCHANGE_CLIENT_USER_AT KARVEL_EXCHANGE_CLIENT_USER_AT
#define EXCHANGE_VARIABLE_BYTES KARVEL_EXCHANGE_TEXT_BYTES
#define BACKEND_PATH_LIMIT 259

// What a finished exchange file hands on to the back-end run.
struct ExchangeRequest {
  CHAR szExchangePath[MAX_PATH];    // the exchange file, <temp>/VC<16 random hex digits>.tmp
  CHAR szUploadDirectory[MAX_PATH]; // its uploads, <temp>/VCU<the same digits>.tmp, made before the
                                    // file and removed after the form's read when no upload came: a
                                    // back-end tells its own request's uploads by it
  CHAR szBackendPath[MAX_PATH];     // value of the first VBEXE field, else of the first VCEXE field; may be
                                    // empty; a Windows path mapped through the site's Windows directories
  bool bVcexeTaken;                 // a VCEXE field came before every VBEXE field
  // The site's settings for the request (request_settings.h): the directory its program must lie in
  // (empty: the default) and how long it waits for the answer (-1: until the third minute change).
  CHAR szBackendDirectory[MAX_PATH];
  int32_t nBackendTimeout;
  bool bUnderWine;  // its program is a Windows program the host runs under Wine: uploads are
                    // given as Windows paths
  bool bBodyCut;    // the body did not arrive whole: the file was refused ("TempWriteError")
};

// Creates the exchange file for `ecb` in the temporary directory and writes it completely: header,
// index, every field's records, the header and index again; then closes it. Returns null when it is
// complete, else the error page's text ("TempOenError", "TempWriteError" (also for a body that
// ended before its end: bBodyCut), "KeyCreateError", "TooManyFieldsError"); the file then stays, closed, with what was written, for the caller to
// discard. `out` names the file in either case.
LPCSTR WriteExchangeFile(EXTENSION_CONTROL_BLOCK* ecb, ExchangeRequest* out);

// Removes the exchange file and the uploads of a request that no back-end program received: a
// failed request, or one whose program did not start. Nothing can rely on them, and files that
// stayed would fill the temporary directory one failed request at a time.
void DiscardExchangeFiles(const ExchangeRequest& request);

#endif  // KARVEL_GATEWAY_EXCHANGE_FILE_H
