// The extension's word on how a request failed (HSE_REQ_KARVEL_FAILURE), as operators see it: the
// access log's notes (karvel-result, karvel-backend), one line in the request's own virtual host's
// error log, and, where the site asks for statuses that say what failed, Apache's own error
// document for that status in place of the extension's page.
#ifndef KARVEL_HOST_FAILURE_REPORT_H
#define KARVEL_HOST_FAILURE_REPORT_H

#include <httpd.h>

#include "isapi/karvel_host.h"

// Notes and logs `failure` for `r` (not logged again when `alreadyLogged`: the spawner's or the
// link's own line told it). Returns the status whose error document the server sends in place of
// the page, or 0 when the page goes out.
int TakeFailureReport(request_rec* r, const KARVEL_REQUEST_FAILURE& failure, bool alreadyLogged);

// The extension's warning that fails nothing (HSE_REQ_KARVEL_WARNING): one warn line in the
// request's error log, what and where, the system's error where it gave one.
void TakeWarningReport(request_rec* r, const KARVEL_REQUEST_WARNING& warning);

#endif  // KARVEL_HOST_FAILURE_REPORT_H
