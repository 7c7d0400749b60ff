#include "host/module/status_page.h"

#include <signal.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <apr_strings.h>
#include <http_protocol.h>
#include <mod_status.h>

#include "host/module/spawner_link.h"
#include "host/module/status_board.h"
#include "host/module/status_counts.h"
#include "host/module/status_text.h"

namespace {
// A spawner's slot counts while its process is there (one that died before the parent freed
// its slot is left out).
bool ProcessAlive(int32_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

bool Asked(const request_rec* r, const char* format) { return r->args != nullptr && std::strcmp(r->args, format) == 0; }
}  // namespace

int ShowSpawnerStatus(request_rec* r) {
  if (r->method_number != M_GET) return HTTP_METHOD_NOT_ALLOWED;
  const StatusBoard* board = ServerStatusBoard();
  if (board == nullptr) return HTTP_SERVICE_UNAVAILABLE;
  const StatusShown shown = ReadStatusBoard(*board, BoardNowMs(), ProcessAlive);
  apr_table_setn(r->headers_out, "Cache-Control", "no-store");
  if (Asked(r, "auto")) {
    ap_set_content_type(r, "text/plain; charset=us-ascii");
    ap_rputs(StatusAutoText(shown).c_str(), r);
    return OK;
  }
  if (Asked(r, "json")) {
    ap_set_content_type(r, "application/json");
    ap_rputs(StatusJson(shown).c_str(), r);
    return OK;
  }
  ap_set_content_type(r, "text/html; charset=us-ascii");
  ap_rputs("<!DOCTYPE html>\n<html><head><title>karvel status</title></head><body>\n<h1>karvel status</h1>\n", r);
  ap_rputs(StatusHtmlTables(shown).c_str(), r);
  ap_rputs("</body></html>\n", r);
  return OK;
}

int ShowInServerStatus(request_rec* r, int flags) {
  const StatusBoard* board = ServerStatusBoard();
  if (board == nullptr) return OK;
  const StatusShown shown = ReadStatusBoard(*board, BoardNowMs(), ProcessAlive);
  if ((flags & AP_STATUS_SHORT) != 0) {
    ap_rputs(StatusServerStatusLines(shown).c_str(), r);
    return OK;
  }
  ap_rputs("<hr />\n<h2>karvel</h2>\n", r);
  ap_rputs(StatusHtmlTables(shown).c_str(), r);
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
