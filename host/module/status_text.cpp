#include "host/module/status_text.h"

#include <cstdio>

namespace {

// A name on a line of its own: control characters would make lines of their own.
std::string LineSafe(const std::string& text) {
  std::string shown = text;
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return shown;
}

std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20 || byte >= 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string HtmlEscaped(const std::string& text) {
  std::string escaped;
  for (const char c : LineSafe(text)) {
    switch (c) {
      case '<': escaped += "&lt;"; break;
      case '>': escaped += "&gt;"; break;
      case '&': escaped += "&amp;"; break;
      case '"': escaped += "&quot;"; break;
      default: escaped += c;
    }
  }
  return escaped;
}

std::string Line(const char* name, uint64_t value) { return std::string(name) + ": " + std::to_string(value) + "\n"; }

// The lines every format shows first (as karvel-status?auto always had them), then the results.
std::string LeadingLines(const StatusShown& shown) {
  std::string text = Line("Running", shown.running) + Line("WaitingForSlot", shown.waiting) +
                     Line("LongestWaitMs", static_cast<uint64_t>(shown.longestWaitMs)) +
                     Line("Started", shown.programsStarted) + Line("StartFailed", shown.startsFailed) +
                     Line("Busy", shown.busy);
  for (int k = 0; k < kBoardResultCount; ++k) {
    if (shown.total.results[k] != 0) text += std::string("Result-") + kBoardResultNames[k] + ": " +
                                             std::to_string(shown.total.results[k]) + "\n";
  }
  return text;
}

// The lines added since: the server's start and generation, the totals by kind and wait.
std::string LastingLines(const StatusShown& shown) {
  std::string text = Line("ServerStarted", static_cast<uint64_t>(shown.startedAtSeconds)) +
                     Line("ServerRestarted", static_cast<uint64_t>(shown.restartedAtSeconds)) +
                     Line("Generation", shown.generation) + Line("Requests", shown.total.requests) +
                     Line("ProgramsRan", shown.total.started) + Line("Timeouts", shown.total.timeouts) +
                     Line("Failures", shown.total.failures) + Line("LentAnswered", shown.lentAnswered);
  for (int k = 0; k < kWaitBucketCount; ++k) {
    text += std::string("Wait-") + kWaitBucketNames[k] + ": " + std::to_string(shown.total.waits[k]) + "\n";
  }
  return text;
}

std::string ProgramLines(const StatusShown& shown) {
  std::string text;
  size_t listed = 0;
  for (const ProgramShown& p : shown.programs) {
    if (listed == kStatusProgramsListed) break;
    ++listed;
    text += "Program: " + std::to_string(p.pid) + " " + std::to_string(p.ageSeconds) + "s " +
            ProgramStateName(p.state) + " " + LineSafe(p.label) + "\n";
  }
  const size_t more = shown.programs.size() - listed + shown.unlisted;
  if (more != 0) text += "Program: ... (" + std::to_string(more) + " more)\n";
  return text;
}

std::string SiteLines(const StatusShown& shown) {
  std::string text;
  size_t listed = 0;
  for (const SiteShown& site : shown.sites) {
    if (listed == kStatusSitesListed) break;
    ++listed;
    text += "Site: " + LineSafe(site.name) + " running=" + std::to_string(site.running) + " waiting=" +
            std::to_string(site.waiting) + " cap=" + std::to_string(site.cap) + "\n";
  }
  const size_t more = shown.sites.size() - listed + shown.sitesUnlisted;
  if (more != 0) text += "Site: ... (" + std::to_string(more) + " more)\n";
  return text;
}

std::string JsonCounts(const CountsShown& counts) {
  std::string text = "{\"requests\":" + std::to_string(counts.requests) + ",\"started\":" +
                     std::to_string(counts.started) + ",\"timeouts\":" + std::to_string(counts.timeouts) +
                     ",\"failures\":" + std::to_string(counts.failures) + ",\"results\":{";
  for (int k = 0; k < kBoardResultCount; ++k) {
    text += (k == 0 ? "" : ",") + JsonString(kBoardResultNames[k]) + ":" + std::to_string(counts.results[k]);
  }
  text += "},\"waits\":{";
  for (int k = 0; k < kWaitBucketCount; ++k) {
    text += (k == 0 ? "" : ",") + JsonString(kWaitBucketNames[k]) + ":" + std::to_string(counts.waits[k]);
  }
  return text + "}}";
}

}  // namespace

const char* ProgramStateName(char state) {
  switch (state) {
    case 'w': return "waiting";
    case 'a': return "answered";
    case 'g': return "abandoned";
    default: return "ended";
  }
}

std::string StatusAutoText(const StatusShown& shown) {
  return LeadingLines(shown) + ProgramLines(shown) + SiteLines(shown) + LastingLines(shown);
}

std::string StatusServerStatusLines(const StatusShown& shown) {
  const std::string lines = LeadingLines(shown) + LastingLines(shown);
  std::string text;
  for (size_t at = 0; at < lines.size();) {
    const size_t end = lines.find('\n', at);
    text += "Karvel" + lines.substr(at, end - at + 1);
    at = end + 1;
  }
  return text;
}

std::string StatusJson(const StatusShown& shown) {
  std::string text = "{\"server\":{\"started\":" + std::to_string(shown.startedAtSeconds) +
                     ",\"restarted\":" + std::to_string(shown.restartedAtSeconds) +
                     ",\"generation\":" + std::to_string(shown.generation) + "},\"running\":" +
                     std::to_string(shown.running) + ",\"waiting_for_slot\":" + std::to_string(shown.waiting) +
                     ",\"longest_wait_ms\":" + std::to_string(shown.longestWaitMs) +
                     ",\"started\":" + std::to_string(shown.programsStarted) +
                     ",\"start_failed\":" + std::to_string(shown.startsFailed) +
                     ",\"busy\":" + std::to_string(shown.busy) +
                     ",\"lent_answered\":" + std::to_string(shown.lentAnswered) +
                     ",\"totals\":" + JsonCounts(shown.total) +
                     ",\"backends\":[";
  for (size_t k = 0; k < shown.rows.size(); ++k) {
    const RowShown& row = shown.rows[k];
    text += std::string(k == 0 ? "" : ",") + "{\"site\":" + JsonString(row.site) + ",\"label\":" +
            JsonString(row.label) + ",\"other\":" + (row.other ? "true" : "false") +
            ",\"counts\":" + JsonCounts(row.counts) + "}";
  }
  text += "],\"programs\":[";
  for (size_t k = 0; k < shown.programs.size(); ++k) {
    const ProgramShown& p = shown.programs[k];
    text += std::string(k == 0 ? "" : ",") + "{\"pid\":" + std::to_string(p.pid) + ",\"age_seconds\":" +
            std::to_string(p.ageSeconds) + ",\"state\":" + JsonString(ProgramStateName(p.state)) +
            ",\"label\":" + JsonString(p.label) + ",\"site\":" + JsonString(p.site) +
            ",\"generation\":" + std::to_string(p.generation) + "}";
  }
  text += "],\"programs_unlisted\":" + std::to_string(shown.unlisted) + ",\"sites\":[";
  for (size_t k = 0; k < shown.sites.size(); ++k) {
    const SiteShown& site = shown.sites[k];
    text += std::string(k == 0 ? "" : ",") + "{\"site\":" + JsonString(site.name) + ",\"running\":" +
            std::to_string(site.running) + ",\"waiting\":" + std::to_string(site.waiting) +
            ",\"cap\":" + std::to_string(site.cap) + "}";
  }
  return text + "],\"sites_unlisted\":" + std::to_string(shown.sitesUnlisted) + "}\n";
}

std::string StatusHtmlTables(const StatusShown& shown) {
  std::string html = "<table>\n";
  const std::string lines = LeadingLines(shown) + ProgramLines(shown) + SiteLines(shown) + LastingLines(shown);
  for (size_t at = 0; at < lines.size();) {
    const size_t end = lines.find('\n', at);
    const std::string line = lines.substr(at, end - at);
    const size_t colon = line.find(':');
    html += "<tr><th>" + HtmlEscaped(line.substr(0, colon)) + "</th><td>" + HtmlEscaped(line.substr(colon + 1)) +
            "</td></tr>\n";
    at = end + 1;
  }
  html += "</table>\n<table>\n<tr><th>site</th><th>program</th><th>requests</th><th>ran</th><th>timeouts</th>"
          "<th>failures</th>";
  for (const char* bucket : kWaitBucketNames) html += std::string("<th>") + bucket + "</th>";
  html += "</tr>\n";
  for (const RowShown& row : shown.rows) {
    html += "<tr><td>" + (row.other ? std::string("(other)") : HtmlEscaped(row.site)) + "</td><td>" +
            HtmlEscaped(row.label) + "</td><td>" + std::to_string(row.counts.requests) + "</td><td>" +
            std::to_string(row.counts.started) + "</td><td>" + std::to_string(row.counts.timeouts) + "</td><td>" +
            std::to_string(row.counts.failures) + "</td>";
    for (uint64_t wait : row.counts.waits) html += "<td>" + std::to_string(wait) + "</td>";
    html += "</tr>\n";
  }
  return html + "</table>\n";
}
