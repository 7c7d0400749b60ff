// Where uploaded files go, and the buffered writer that saves their bytes.
#ifndef KARVEL_GATEWAY_FORM_UPLOAD_H
#define KARVEL_GATEWAY_FORM_UPLOAD_H

#include <cstdint>

#include "gateway/form_charset.h"
#include "gateway/io_block.h"
#include "platform/win32.h"

// One request's upload directory: made on the request's first upload, with a name no other request
// gets, so uploads of two requests never meet.
struct UploadDirectory {
  CHAR szPath[MAX_PATH];  // ends in a separator once made; empty before
  LPCSTR szWanted;        // the name to make (the request driver ties it to the exchange file);
                          // null: a new random name in the temporary directory
  bool bWantedMade;       // szWanted exists already: the request driver made it with the file
  bool bMade;
  FormCharset charset;    // what the form declared so far: how client names are converted
  LPCSTR szTempDirectory; // the site's temporary directory, ending in a separator; null: the server's
};

// Removes the directory again when it was made (or came made) and holds nothing (every name refused, or the
// one upload removed after a failure).
void RemoveUploadDirectoryIfEmpty(UploadDirectory* directory);

enum UploadOpen {
  kUploadRefused,  // no file: the client's name is unusable or the path too long; path empty
  kUploadOpened,   // *file is open for writing; path names it
  kUploadFailed,   // the directory or the file could not be created; path names the file meant
};

// Copies of one base name in one request ("name(2).ext" ...) beyond this are refused rather than
// searched for.
constexpr int UPLOAD_SAME_NAME_LIMIT = 1000;

// The longest client file name accepted, in bytes as sent.
constexpr int kUploadNameBytes = 1024;

// Opens the file for an upload whose header named `clientName` (`clientLength` bytes, as sent).
// The file's name is the client's base name (after the last '\' or '/' that is not the second byte
// of a character) in Shift-JIS: converted from the encoding the form declared, or without a
// declaration from EUC-JP or JIS as the converter detects them in field values; a name holding
// a NUL, an empty base name, "." or "..", one holding a control byte or ':', or one longer than
// kUploadNameBytes is refused. A base name already used in this request gets "(2)", "(3)"... before its extension.
// Writes the path (NUL-terminated) to `path`.
UploadOpen OpenUploadFile(UploadDirectory* directory, const char* clientName, int clientLength,
                          CHAR path[MAX_PATH], HANDLE* file);

// Where an upload part's bytes go.
enum UploadTarget {
  kUploadDropped,     // nowhere: no part is being read, or its name was refused (its data is read and dropped)
  kUploadToFile,      // to hFile
  kUploadUnwritable,  // its file could not be created: every write fails, and so does the read
};

// Collects an upload's bytes and writes them in large blocks; a failed write sticks.
struct UploadWriter {
  UploadTarget nTarget;
  HANDLE hFile;     // kUploadToFile: the open file; otherwise INVALID_HANDLE_VALUE
  uint8_t* pBlock;  // UPLOAD_BLOCK_BYTES
  uint32_t nUsed;
  bool bFailed;
};
constexpr uint32_t UPLOAD_BLOCK_BYTES = GATEWAY_BLOCK_BYTES;

// False when a write failed (now or before). Bytes for kUploadDropped are taken and forgotten.
bool UploadWrite(UploadWriter* writer, const uint8_t* bytes, uint32_t count);
bool UploadFlush(UploadWriter* writer);

#endif  // KARVEL_GATEWAY_FORM_UPLOAD_H
