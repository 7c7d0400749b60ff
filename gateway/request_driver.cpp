#include "gateway/request_driver.h"

#include "gateway/backend_choice.h"
#include "gateway/backend_run.h"
#include "gateway/debug_copy.h"
#include "gateway/error_page.h"
#include "gateway/exchange_file.h"
#include "gateway/form_reader.h"
#include "gateway/wine_request.h"
#include "platform/program_path.h"
#include "platform/request_files.h"

namespace {

// Whether the client is still there to read a page; a server that cannot tell is taken to be.
bool ClientStillConnected(EXTENSION_CONTROL_BLOCK* ecb) {
  BOOL connected = TRUE;
  if (!ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_IS_CONNECTED, &connected, nullptr, nullptr)) return true;
  return connected != FALSE;
}

// The form's fields, uploads saved in the request's directory; null or the failure text (its kind
// in the record).
LPCSTR ReadForm(EXTENSION_CONTROL_BLOCK* ecb, ExchangeRequest* request, FormField** list, int32_t* fieldCount) {
  const RequestSettings& settings = request->settings;
  FormReadEnd end = kFormReadComplete;
  *list = ReadFormFieldsWith(ecb, fieldCount,
                             FormReadOptions{request->szUploadDirectory, settings.nMaxFields, 0, settings.formCharset,
                                             request->bUploadDirectoryMade, settings.szTempDirectory},
                             &end);
  switch (end) {
    case kFormReadComplete:
      return nullptr;
    case kFormReadTooManyFields:
      request->nFailure = kFailureTooManyFields;
      return ERROR_TEXT_TOO_MANY_FIELDS;
    case kFormReadCut:
    case kFormReadTooLarge:
      // A cut form (amount=10 of amount=1000) must not reach a program, which could not tell it
      // from the form sent: the exchange file carries no length. The data could not be written whole.
      request->bBodyCut = true;
      request->nFailure = end == kFormReadTooLarge ? kFailureBodyTooLarge : kFailureBodyCut;
      return ERROR_TEXT_TEMP_WRITE;
    case kFormReadUploadFailed:
    case kFormReadFailed:
      break;
  }
  // The page it always had: the form gave no list to name a program in. An upload the disk could
  // not take is the server's failure, not the form's.
  request->nFailure = end == kFormReadUploadFailed ? kFailureTempFile : kFailureFormUnreadable;
  return ERROR_TEXT_KEY_CREATE;
}

// The encoding the form declares: its first `_charset_` field naming one, else what the site or
// the request said.
FormCharset DeclaredCharset(FormField* list, FormCharset otherwise) {
  for (FormField* field = list; field != nullptr; field = field->pNext) {
    FormCharset charset = kCharsetAuto;
    if (FieldDeclaresCharset(field->szName, field->pValue, field->nValueLength, &charset)) return charset;
  }
  return otherwise;
}

// From the open exchange file to its last record: form, back-end, run decision, records.
LPCSTR WriteRequestFiles(EXTENSION_CONTROL_BLOCK* ecb, HANDLE file, ExchangeRequest* request) {
  ExchangeWriter writer{};
  LPCSTR failure = BeginExchangeFile(ecb, file, &writer);
  FormField* list = nullptr;
  int32_t fieldCount = 0;
  if (failure == nullptr) failure = ReadForm(ecb, request, &list, &fieldCount);
  if (failure == nullptr) failure = WriteFieldIndex(&writer, fieldCount);
  if (failure == nullptr && list == nullptr) {
    request->nFailure = kFailureNoBackendField;
    failure = ERROR_TEXT_KEY_CREATE;
  }
  BackendChoice choice{};
  if (failure == nullptr && !ChooseBackend(list, fieldCount, &choice)) {
    // A program path longer than any the server could run.
    request->nFailure = kFailureNotFound;
    failure = ERROR_TEXT_TEMP_WRITE;
  }
  LPSTR* given = nullptr;
  if (failure == nullptr) {
    lstrcpyA(request->szBackendPath, choice.szPath);
    request->bVcexeTaken = choice.nVcexeField >= 0;
    MapWindowsProgramPath(request->settings, request->szBackendPath);
    DecideHowItRuns(request);
    // A program under Wine opens its uploads by Windows paths.
    if (request->bUnderWine && !GiveUploadsWindowsPaths(list, fieldCount, request->szUploadDirectory, &given)) {
      failure = ERROR_TEXT_TEMP_WRITE;
    }
  }
  if (failure == nullptr) {
    const ExchangeContent content{list,
                                  fieldCount,
                                  DeclaredCharset(list, request->settings.formCharset),
                                  request->szUploadDirectory,
                                  choice.nVcexeField,
                                  given};
    failure = WriteFieldRecords(&writer, content);
  }
  // A write that failed left its error behind; the kind stays the temp-file failure it starts as.
  if (failure != nullptr && request->nFailure == kFailureTempFile) request->dwFailureError = GetLastError();
  FreeGivenPaths(given, fieldCount);
  FreeFormFields(list);
  const LPCSTR ended = EndExchangeFile(&writer, failure);
  if (failure == nullptr && ended != nullptr) request->dwFailureError = GetLastError();
  return ended;
}

}  // namespace

void DecideHowItRuns(ExchangeRequest* request) {
  request->bUnderWine = false;
  if (!ResolveProgramInDirectory(request->settings.szBackendDirectory, request->szBackendPath, request->szProgram,
                                 MAX_PATH)) {
    // Why it cannot start, for the operator: nothing named, nothing there, or not to be run.
    const DWORD error = GetLastError();
    request->szProgram[0] = '\0';
    request->nProgramRefusal = request->szBackendPath[0] == '\0' ? kFailureNoBackendField
                        : error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? kFailureNotFound
                                                                                           : kFailureNotAllowed;
    request->dwProgramError = error;
    return;
  }
  request->bUnderWine = RunsUnderWine(request->settings, request->szProgram);
}

LPCSTR PrepareRequest(EXTENSION_CONTROL_BLOCK* ecb, ExchangeRequest* request) {
  request->szExchangePath[0] = '\0';
  request->szUploadDirectory[0] = '\0';
  request->szBackendPath[0] = '\0';
  request->szProgram[0] = '\0';
  request->bVcexeTaken = false;
  request->bUnderWine = false;
  request->bBodyCut = false;
  request->bUploadDirectoryMade = false;
  request->nFailure = kFailureTempFile;
  request->dwFailureError = 0;
  request->nProgramRefusal = kFailureNotFound;
  request->dwProgramError = 0;
  // A site setting that cannot be read refuses the request before anything is made for it.
  LPCSTR failure = ReadRequestSettings(ecb, &request->settings);
  if (failure != nullptr) request->nFailure = lstrcmpA(failure, ERROR_TEXT_TEMP_OPEN) == 0 ? kFailureTempFile : kFailureSettings;
  // The file is made empty under a random name and written through the handle that made it; its
  // upload directory, named with the same digits (in the site's upload directory where it has
  // one, else beside the file), is made before it, so that nobody who sees the
  // file appear in a shared directory can take the directory's name first.
  // A request without a body rarely has an upload (only its query string could bring one): its
  // directory's name is kept free, and made only should an upload come.
  HANDLE file = INVALID_HANDLE_VALUE;
  BOOL uploadDirectoryMade = FALSE;
  if (failure == nullptr && !CreateRequestPair(request->settings.szTempDirectory, request->szExchangePath,
                                               request->szUploadDirectory, &file, request->settings.szUploadRoot,
                                               ecb->cbTotalBytes != 0 ? TRUE : FALSE, &uploadDirectoryMade)) {
    request->nFailure = kFailureTempFile;
    request->dwFailureError = GetLastError();
    failure = ERROR_TEXT_TEMP_OPEN;
  }
  request->bUploadDirectoryMade = uploadDirectoryMade != FALSE;
  if (failure == nullptr) failure = WriteRequestFiles(ecb, file, request);
  // The Windows directories served the run decision; no later step reads them.
  ReleaseRequestSettings(&request->settings);
  return failure;
}

DWORD HandleRequest(EXTENSION_CONTROL_BLOCK* ecb, bool debugCopy, ExchangeRequest* request) {
  ExchangeRequest own;
  if (request == nullptr) request = &own;
  const LPCSTR failure = PrepareRequest(ecb, request);
  if (failure != nullptr) {
    DiscardExchangeFiles(*request);
    // A body cut because its client left gets no page: nobody is there to read it.
    if (request->bBodyCut && !ClientStillConnected(ecb)) return FailRequest(ecb, *request, kFailureClientGone, nullptr);
    return FailRequest(ecb, *request, request->nFailure, failure);
  }
  if (debugCopy) MakeDebugCopy(ecb, *request);
  return ReplyToRequest(ecb, *request);
}
