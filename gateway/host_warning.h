// A warning for the operator that does not fail the request (HSE_REQ_KARVEL_WARNING): a host of
// ours logs it as one warn line in the request's error log; any other host ignores it.
#ifndef KARVEL_GATEWAY_HOST_WARNING_H
#define KARVEL_GATEWAY_HOST_WARNING_H

#include "isapi/httpext.h"

// Tells the host `text` (what went wrong), `path` (what it concerns; may be null) and `error` (the
// system's error code, 0 for none). Copies the texts first, cut to bounds, so the host reads only
// what the call hands it; whatever the host answers, the request goes on.
void WarnHost(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR text, LPCSTR path, DWORD error);

#endif  // KARVEL_GATEWAY_HOST_WARNING_H
