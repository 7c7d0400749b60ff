// The record one request carries along its road (request_driver.h): the site's settings, the
// request's files, the back-end its form chose and how that program runs. Each step fills its
// part; the steps after it read it.
#ifndef KARVEL_GATEWAY_REQUEST_RECORD_H
#define KARVEL_GATEWAY_REQUEST_RECORD_H

#include <cstdint>
#include <cstring>

#include "gateway/error_page.h"
#include "gateway/request_settings.h"
#include "isapi/httpext.h"
#include "platform/request_files.h"

struct ExchangeRequest {
  RequestSettings settings;         // read once as the request begins
  CHAR szExchangePath[MAX_PATH];    // the exchange file, <temp>/VC<16 random hex digits>.tmp
  CHAR szUploadDirectory[MAX_PATH]; // its uploads, <temp>/VCU<the same digits>.tmp (<the site's upload
                                    // directory>/VCU... where it has one), made before the
                                    // file (for a request with a body) and removed after the
                                    // form's read when no upload came: a
                                    // back-end tells its own request's uploads by it
  // The chosen back-end (backend_choice.h): the value of the first VBEXE field, else of the first
  // VCEXE field; may be empty; a Windows path mapped through the site's Windows directories.
  CHAR szBackendPath[MAX_PATH];
  bool bVcexeTaken;                 // a VCEXE field came before every VBEXE field
  // How it runs: the program resolved inside the back-end directory ("" when it does not resolve:
  // it cannot start), and whether it is a Windows program the host runs under Wine (its uploads
  // are then given as Windows paths).
  CHAR szProgram[MAX_PATH];
  bool bUnderWine;
  bool bUploadDirectoryMade;        // szUploadDirectory was made with the file (else only its name
                                    // is kept free, for the form reader to make on a first upload)
  bool bBodyCut;                    // the body did not arrive whole: the file was refused ("TempWriteError")
  // How it failed, where it did: the kind of its refusal and the system's error code behind it
  // (0: none), for the host's note and log line.
  FailureKind nFailure;
  DWORD dwFailureError;
  // Why its program cannot start where it did not resolve (none named, not there, not allowed),
  // and the error code behind it.
  FailureKind nProgramRefusal;
  DWORD dwProgramError;
};

// The program the form named, as the logs show it: the resolved program relative to the back-end
// directory, else what the form gave ("" for none). Points into the record.
inline LPCSTR FailedProgramName(const ExchangeRequest& request) {
  const size_t length = std::strlen(request.settings.szBackendDirectory);
  if (request.szProgram[0] != '\0' && length > 0 &&
      std::strncmp(request.szProgram, request.settings.szBackendDirectory, length) == 0) {
    LPCSTR rest = request.szProgram + length;
    const bool below = IsPathSeparator(request.settings.szBackendDirectory[length - 1]) || IsPathSeparator(*rest);
    while (IsPathSeparator(*rest)) ++rest;
    if (below && *rest != '\0') return rest;
  }
  return request.szBackendPath;
}

// Sends the error page `text` for the request, which failed as `kind`.
inline DWORD FailRequest(EXTENSION_CONTROL_BLOCK* ecb, const ExchangeRequest& request, FailureKind kind, LPCSTR text) {
  return SendFailurePage(ecb, RequestFailure{kind, text, FailedProgramName(request), request.dwFailureError,
                                             request.settings.bHttpErrorStatus});
}

// Whether the field value (`length` bytes) is the path of a file saved in the request's upload
// directory `directory` (null or empty: none): saved under a Shift-JIS name already, it is handed
// on as it is (or, to a program under Wine, as its Windows path).
inline bool IsRequestUpload(LPCSTR directory, const char* value, int32_t length) {
  const size_t size = directory != nullptr ? std::strlen(directory) : 0;
  return size > 0 && length > 0 && static_cast<size_t>(length) > size + 1 && std::memcmp(value, directory, size) == 0 &&
         IsPathSeparator(value[size]);
}

// Removes the exchange file and the uploads of a request that no back-end program received: a
// failed request, or one whose program did not start. Nothing can rely on them, and files that
// stayed would fill the temporary directory one failed request at a time.
inline void DiscardExchangeFiles(const ExchangeRequest& request) {
  if (request.szExchangePath[0] != '\0') DeleteFileA(request.szExchangePath);
  if (request.szUploadDirectory[0] != '\0') RemoveRequestDirectory(request.szUploadDirectory);
}

#endif  // KARVEL_GATEWAY_REQUEST_RECORD_H
