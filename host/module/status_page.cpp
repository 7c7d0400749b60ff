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

// The spawner's "Resident: PID REQUESTS RSSkB STATE LABEL" lines, asked of it now (its resident
// instances live in it alone, not on the board); "" without a spawner or instances.
std::string ResidentLines(request_rec* r) {
  const char* status = SpawnerStatus(r->pool);
  std::string lines;
  for (const char* at = status; at != nullptr && *at != '\0';) {
    const char* end = std::strchr(at, '\n');
    const size_t length = end != nullptr ? static_cast<size_t>(end - at) : std::strlen(at);
    if (std::strncmp(at, "Resident: ", 10) == 0) lines.append(at, length).push_back('\n');
    at += length + (end != nullptr ? 1 : 0);
  }
  return lines;
}

// The same lines as a table: each line's words in its cells, escaped.
std::string ResidentTable(request_rec* r, const std::string& lines) {
  if (lines.empty()) return "";
  std::string table = "<h2>Resident instances</h2>\n<table><tr><th>pid</th><th>requests</th><th>memory</th>"
                      "<th>state</th><th>program</th></tr>\n";
  for (size_t at = 0; at < lines.size();) {
    const size_t end = lines.find('\n', at);
    std::string line = lines.substr(at + 10, end - at - 10);
    table += "<tr>";
    for (int cell = 0; cell < 5; ++cell) {
      const size_t blank = cell < 4 ? line.find(' ') : std::string::npos;
      table += std::string("<td>") + ap_escape_html(r->pool, line.substr(0, blank).c_str()) + "</td>";
      line = blank == std::string::npos ? "" : line.substr(blank + 1);
    }
    table += "</tr>\n";
    at = end + 1;
  }
  return table + "</table>\n";
}
// The same lines as the JSON object's "resident" array, put in before its closing brace.
std::string WithResidentJson(const std::string& json, const std::string& lines) {
  const size_t close = json.rfind('}');
  if (close == std::string::npos) return json;
  std::string array = ",\"resident\":[";
  for (size_t at = 0, k = 0; at < lines.size(); ++k) {
    const size_t end = lines.find('\n', at);
    std::string words[5];
    std::string line = lines.substr(at + 10, end - at - 10);
    for (int cell = 0; cell < 5; ++cell) {
      const size_t blank = cell < 4 ? line.find(' ') : std::string::npos;
      words[cell] = line.substr(0, blank);
      line = blank == std::string::npos ? "" : line.substr(blank + 1);
    }
    std::string label;
    for (const char c : words[4]) {
      if (c == '"' || c == '\\') label.push_back('\\');
      label.push_back(c);  // the spawner shows no control character
    }
    const bool counted = !words[0].empty() && words[0].find_first_not_of("0123456789") == std::string::npos &&
                         !words[1].empty() && words[1].find_first_not_of("0123456789") == std::string::npos;
    if (counted) {
      const std::string kib = words[2].substr(0, words[2].find_first_not_of("0123456789"));
      array += std::string(k == 0 ? "" : ",") + "{\"pid\":" + words[0] + ",\"requests\":" + words[1] +
               ",\"rss_kib\":" + (kib.empty() ? "0" : kib) + ",\"state\":\"" + words[3] + "\",\"label\":\"" +
               label + "\"}";
    }
    at = end + 1;
  }
  if (array.back() == ',') array.pop_back();
  return json.substr(0, close) + array + "]" + json.substr(close);
}
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
    ap_rputs(ResidentLines(r).c_str(), r);
    return OK;
  }
  if (Asked(r, "json")) {
    ap_set_content_type(r, "application/json");
    ap_rputs(WithResidentJson(StatusJson(shown), ResidentLines(r)).c_str(), r);
    return OK;
  }
  ap_set_content_type(r, "text/html; charset=us-ascii");
  ap_rputs("<!DOCTYPE html>\n<html><head><title>karvel status</title></head><body>\n<h1>karvel status</h1>\n", r);
  ap_rputs(StatusHtmlTables(shown).c_str(), r);
  ap_rputs(ResidentTable(r, ResidentLines(r)).c_str(), r);
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
