#include "tools/run/tool_reply.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "host/module/reply_text.h"

namespace {

// Apache's longest header line (MAX_STRING_LEN).
constexpr int kHeaderLineRoom = 8192;

struct StatusText {
  int code;
  const char* szText;
};

constexpr StatusText kStatusTexts[] = {
    {200, "OK"}, {201, "Created"}, {202, "Accepted"}, {203, "Non-Authoritative Information"}, {204, "No Content"},
    {205, "Reset Content"}, {206, "Partial Content"}, {300, "Multiple Choices"}, {301, "Moved Permanently"},
    {302, "Found"}, {303, "See Other"}, {304, "Not Modified"}, {307, "Temporary Redirect"},
    {308, "Permanent Redirect"}, {400, "Bad Request"}, {401, "Unauthorized"}, {403, "Forbidden"},
    {404, "Not Found"}, {405, "Method Not Allowed"}, {408, "Request Timeout"}, {410, "Gone"},
    {413, "Request Entity Too Large"}, {415, "Unsupported Media Type"}, {429, "Too Many Requests"},
    {500, "Internal Server Error"}, {501, "Not Implemented"}, {502, "Bad Gateway"}, {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
};

// "text/HTML; charset=X" -> "text/html; charset=X": Apache lowers the type of a CGI answer's.
std::string LowerType(const std::string& type) {
  std::string out = type;
  for (char& c : out) {
    if (c == ';') break;
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

void AddHeader(ToolReply* reply, const std::string& name, const std::string& value) {
  // Apache merges repeated headers of an answer into one, but for cookies.
  if (strcasecmp(name.c_str(), "Set-Cookie") != 0) {
    for (auto& header : reply->headers) {
      if (strcasecmp(header.first.c_str(), name.c_str()) == 0) {
        header.second += ", " + value;
        return;
      }
    }
  }
  reply->headers.emplace_back(name, value);
}

// One scanned line "Name: value\n" into the reply, as Apache's CGI header scanner takes it.
void TakeHeaderLine(ToolReply* reply, const char* line) {
  std::string text = line;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return;
  const std::string name = text.substr(0, colon);
  size_t at = colon + 1;
  while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
  std::string value = text.substr(at);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
  if (IsFramingHeader(name.c_str())) return;  // the server frames the response alone
  if (strcasecmp(name.c_str(), "Content-Type") == 0) {
    reply->contentType = LowerType(value);
  } else if (strcasecmp(name.c_str(), "Status") == 0) {
    reply->status = std::atoi(value.c_str());
    reply->statusLine = value;
  } else {
    AddHeader(reply, name, value);
  }
}

bool HeaderBlockUsable(const char* text, const char* end) {
  HeaderCursor cursor{text, end, false, false};
  char line[kHeaderLineRoom];
  while (NextHeaderLine(line, kHeaderLineRoom - 1, &cursor) == 1 && line[0] != '\n' && line[0] != '\0') {
  }
  return !cursor.bUnusable;
}

bool HasHeader(const ToolReply& reply, const char* name) {
  for (const auto& header : reply.headers) {
    if (strcasecmp(header.first.c_str(), name) == 0) return true;
  }
  return false;
}

// Status and headers from a status and a CGI header block; where the body begins (`end` when the
// block is unusable: the reply is broken).
const char* ApplyHeaderBlock(ToolReply* reply, int code, const std::string& status, const char* text, const char* end) {
  reply->status = code;
  reply->statusLine = status.size() > 3 && status[3] == ' ' && UsableStatusText(status.c_str()) ? status : "";
  reply->state = kToolReplyStarted;
  if (text == nullptr || !StartsWithHeaderBlock(text, end)) return text;
  if (!HeaderBlockUsable(text, end)) {
    reply->state = kToolReplyBroken;
    return end;
  }
  HeaderCursor cursor{text, end, false, false};
  char line[kHeaderLineRoom];
  while (NextHeaderLine(line, kHeaderLineRoom - 1, &cursor) == 1 && line[0] != '\n' && line[0] != '\0') {
    TakeHeaderLine(reply, line);
  }
  if (reply->status < 100 || reply->status > 999) {
    reply->state = kToolReplyBroken;  // a Status: header Apache cannot send
    return end;
  }
  // A Location without a status of its own redirects, as a CGI answer does.
  if (reply->status == 200 && HasHeader(*reply, "Location")) {
    reply->status = 302;
    reply->statusLine.clear();
  }
  return cursor.pNext;
}

// The status line's text: the extension's where its code is the status, else Apache's.
std::string StatusLineText(const ToolReply& reply) {
  if (reply.statusLine.size() > 3 && std::atoi(reply.statusLine.c_str()) == reply.status) return reply.statusLine;
  const char* text = StandardStatusText(reply.status);
  return std::to_string(reply.status) + (text[0] != '\0' ? " " : "") + text;
}

}  // namespace

const char* StandardStatusText(int code) {
  for (const StatusText& known : kStatusTexts) {
    if (known.code == code) return known.szText;
  }
  return "";
}

bool TakeResponseHeader(ToolReply* reply, const char* status, const char* headers) {
  if (reply->state != kToolReplyNothing) return false;
  const int code = ParseStatus(status);
  if (code == 0) return false;
  const char* end = headers != nullptr ? headers + std::strlen(headers) : nullptr;
  const char* body = ApplyHeaderBlock(reply, code, status != nullptr ? status : "", headers, end);
  if (reply->state == kToolReplyBroken) return false;
  if (body != nullptr) reply->body.append(body, static_cast<size_t>(end - body));
  return true;
}

bool TakeReplyBytes(ToolReply* reply, const char* bytes, size_t size) {
  if (reply->state == kToolReplyStarted) {
    reply->body.append(bytes, size);
    return true;
  }
  if (reply->state != kToolReplyNothing) return false;
  const char* end = bytes + size;
  const char* status = nullptr;
  const char* statusEnd = nullptr;
  const char* lineEnd = nullptr;
  if (size >= 5 && std::memcmp(bytes, "HTTP/", 5) == 0 && FindStatusLine(bytes, end, &status, &statusEnd, &lineEnd)) {
    const std::string told(status, statusEnd);
    const char* body = ApplyHeaderBlock(reply, ParseStatus(told.c_str()), told, lineEnd, end);
    if (reply->state == kToolReplyBroken) return false;
    reply->body.append(body, static_cast<size_t>(end - body));
    return true;
  }
  reply->status = 200;
  reply->state = kToolReplyStarted;
  reply->contentType = reply->sniff != nullptr ? reply->sniff(bytes, size) : "application/octet-stream";
  reply->body.append(bytes, size);
  return true;
}

bool TakeUrlReply(ToolReply* reply, const char* url, bool local) {
  if (reply->state != kToolReplyNothing || !UsableUrl(url) || (local && url[0] != '/')) return false;
  reply->state = local ? kToolReplyLocalUrl : kToolReplyRedirect;
  reply->location = url;
  if (!local) {
    reply->status = 302;
    reply->headers.emplace_back("Location", url);
  }
  return true;
}

std::string FormatReply(const ToolReply& reply, bool bodyOnly) {
  ToolReply shown = reply;
  if (reply.state == kToolReplyBroken) {
    shown = ToolReply{};
    shown.status = 500;
  }
  // No body, no length: what the status says has none.
  const bool bodiless = shown.status == 204 || shown.status == 304;
  if (bodyOnly) return bodiless ? std::string() : shown.body;
  std::string out = "HTTP/1.1 " + StatusLineText(shown) + "\r\n";
  for (const auto& header : shown.headers) out += header.first + ": " + header.second + "\r\n";
  if (!shown.contentType.empty()) out += "Content-Type: " + shown.contentType + "\r\n";
  if (!bodiless) out += "Content-Length: " + std::to_string(shown.body.size()) + "\r\n";
  out += "\r\n";
  if (!bodiless) out += shown.body;
  return out;
}
