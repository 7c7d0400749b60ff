// Server variables as an extension asks for them with GetServerVariable: the CGI set, the IIS
// additions (ALL_HTTP, ALL_RAW, URL, HTTPS, AUTH_USER, ...), HTTP_<HEADER> for every request
// header, and whatever Apache's modules put into the request's environment (SetEnv, SSL_*).
#ifndef KARVEL_HOST_SERVER_VARIABLES_H
#define KARVEL_HOST_SERVER_VARIABLES_H

#include <httpd.h>

struct ScriptPaths {
  const char* szScriptName;      // the URL the extension is mapped to
  const char* szPathInfo;        // what followed it ("" when nothing)
  const char* szPathTranslated;  // the path info as a file below the document root ("" when none)
};

// The value in r's pool; "" for a known variable without a value (REMOTE_USER without
// authentication), nullptr for a name this host does not know.
const char* LookupServerVariable(request_rec* r, const ScriptPaths* paths, const char* name);

#endif  // KARVEL_HOST_SERVER_VARIABLES_H
