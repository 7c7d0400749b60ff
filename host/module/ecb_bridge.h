// One Apache request through an ISAPI extension: the EXTENSION_CONTROL_BLOCK built from the
// request (up to 48 KiB of the body read ahead), the four callbacks served while
// HttpExtensionProc runs, and the reply finished after it returns.
#ifndef KARVEL_HOST_ECB_BRIDGE_H
#define KARVEL_HOST_ECB_BRIDGE_H

#include <httpd.h>

#include "host/module/loaded_extension.h"
#include "host/module/server_variables.h"

// Bytes of the body read before the extension is called (lpbData / cbAvailable).
constexpr apr_size_t kPreloadBytes = 48 * 1024;

// The handler's result: OK once a reply went out, else an HTTP status for Apache's error page.
int RunExtension(request_rec* r, LoadedExtension* extension, const ScriptPaths* paths);

#endif  // KARVEL_HOST_ECB_BRIDGE_H
