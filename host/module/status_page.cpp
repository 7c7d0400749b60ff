#include "host/module/status_page.h"

#include <cstring>

#include <apr_strings.h>
#include <http_protocol.h>

#include "host/module/spawner_link.h"

int ShowSpawnerStatus(request_rec* r) {
  if (r->method_number != M_GET) return HTTP_METHOD_NOT_ALLOWED;
  const char* text = SpawnerStatus(r->pool);
  if (text == nullptr) return HTTP_SERVICE_UNAVAILABLE;
  if (r->args != nullptr && std::strcmp(r->args, "auto") == 0) {
    ap_set_content_type(r, "text/plain; charset=us-ascii");
    ap_rputs(text, r);
    return OK;
  }
  ap_set_content_type(r, "text/html; charset=us-ascii");
  ap_rputs("<!DOCTYPE html>\n<html><head><title>karvel status</title></head><body>\n<h1>karvel status</h1>\n<table>\n", r);
  for (const char* line = text; *line != '\0';) {
    const char* end = std::strchr(line, '\n');
    const size_t length = end != nullptr ? static_cast<size_t>(end - line) : std::strlen(line);
    const char* colon = static_cast<const char*>(std::memchr(line, ':', length));
    if (colon != nullptr) {
      const size_t nameLength = static_cast<size_t>(colon - line);
      ap_rprintf(r, "<tr><th>%s</th><td>%s</td></tr>\n", ap_escape_html(r->pool, apr_pstrndup(r->pool, line, nameLength)),
                 ap_escape_html(r->pool, apr_pstrndup(r->pool, colon + 1, length - nameLength - 1)));
    }
    line += length + (end != nullptr ? 1 : 0);
  }
  ap_rputs("</table>\n</body></html>\n", r);
  return OK;
}

int ShowHealth(request_rec* r) {
  if (r->method_number != M_GET) return HTTP_METHOD_NOT_ALLOWED;  // (HEAD is a GET to Apache)
  apr_table_setn(r->headers_out, "Cache-Control", "no-store");
  // With a spawner, it must answer; a server that starts programs itself (KarvelSpawner off) can.
  if (SpawnerConfigured() && SpawnerStatus(r->pool) == nullptr) return HTTP_SERVICE_UNAVAILABLE;
  ap_set_content_type(r, "text/plain; charset=us-ascii");
  ap_rputs("OK\n", r);
  return OK;
}
