// One request from its control block to its reply, what HttpExtensionProc does in both builds, as
// the road it takes through the gateway's files:
//   read the site's settings (request_settings)   -> create the exchange file and its upload
//   directory (platform request_files)             -> read the form (form_reader)
//   -> choose the back-end (backend_choice)        -> decide how it runs: the program resolved in
//   the back-end directory once, native or Wine (wine_request) -> write the records (exchange_file)
//   -> the debug copy (debug_copy)                 -> run it and wait (backend_run)
//   -> reply with its answer (answer_reply).
#ifndef KARVEL_GATEWAY_REQUEST_DRIVER_H
#define KARVEL_GATEWAY_REQUEST_DRIVER_H

#include "gateway/request_record.h"
#include "isapi/httpext.h"

// The road up to the finished exchange file: settings, files, form, back-end, run decision,
// records; the file is closed. Returns null when it is complete, else the error page's text (a
// setting that does not fit: ERROR_TEXT_EXE_LOAD or ERROR_TEXT_TEMP_OPEN, with nothing made;
// "TempOenError", "TempWriteError" (also for a body that ended before its end: bBodyCut; and for a
// deciding back-end value longer than BACKEND_PATH_LIMIT), "KeyCreateError", "TooManyFieldsError");
// the file then stays, closed, with what was written, for the caller to discard. `request` names
// the files in either case.
LPCSTR PrepareRequest(EXTENSION_CONTROL_BLOCK* ecb, ExchangeRequest* request);

// How the chosen back-end runs: request->szBackendPath resolved inside the site's back-end directory
// into szProgram ("" when it does not resolve), and whether it runs under Wine.
void DecideHowItRuns(ExchangeRequest* request);

// The whole road: PrepareRequest, the debug copy when `debugCopy` (the debug-copy
// build), the run and the reply. A request that fails before its program received the exchange file
// leaves no file behind. `request` (may be null) receives the request's record. Returns
// HSE_STATUS_SUCCESS or HSE_STATUS_ERROR.
DWORD HandleRequest(EXTENSION_CONTROL_BLOCK* ecb, bool debugCopy, ExchangeRequest* request);

#endif  // KARVEL_GATEWAY_REQUEST_DRIVER_H
