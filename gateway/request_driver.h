// One request from its control block to its reply: what HttpExtensionProc does, in both builds.
#ifndef KARVEL_GATEWAY_REQUEST_DRIVER_H
#define KARVEL_GATEWAY_REQUEST_DRIVER_H

#include "gateway/exchange_file.h"
#include "isapi/httpext.h"

// Writes the exchange file, copies it beside the program when `debugCopy` (the debug-copy build),
// runs the back-end program and replies. A request that fails before its program received the
// exchange file leaves no file behind. `request` (may be null) receives the request's file names.
// Returns HSE_STATUS_SUCCESS or HSE_STATUS_ERROR.
DWORD HandleRequest(EXTENSION_CONTROL_BLOCK* ecb, bool debugCopy, ExchangeRequest* request);

#endif  // KARVEL_GATEWAY_REQUEST_DRIVER_H
