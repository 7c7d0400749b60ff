// The reply the extension gives karvel-run, gathered as mod_karvel's reply takes it (a header
// string read like a CGI answer, body bytes, a whole "HTTP/" response, raw bytes typed by their
// content, a local URL or a redirection), and printed as the HTTP response Apache would send for
// it, less the server's own Date and Server headers.
#ifndef KARVEL_TOOLS_RUN_TOOL_REPLY_H
#define KARVEL_TOOLS_RUN_TOOL_REPLY_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

enum ToolReplyState {
  kToolReplyNothing,   // nothing sent yet
  kToolReplyStarted,   // status and headers set; body bytes may follow
  kToolReplyLocalUrl,  // the server would serve one of its own URLs instead
  kToolReplyRedirect,  // a 302 to `location`
  kToolReplyBroken,    // the extension's headers were unusable: the server answers 500
};

// The type of raw reply bytes (libmagic's, as the server's), given the first of them.
using SniffType = std::string (*)(const char* bytes, size_t size);

struct ToolReply {
  ToolReplyState state = kToolReplyNothing;
  int status = 200;
  std::string statusLine;  // "200 Ok" as the extension told it; "" for the standard text
  std::vector<std::pair<std::string, std::string>> headers;
  std::string contentType;
  std::string body;
  std::string location;    // the local URL or the redirection's target
  SniffType sniff = nullptr;
};

// HSE_REQ_SEND_RESPONSE_HEADER: `status` "NNN text" (null: 200), `headers` a CGI header block and
// after its empty line the first body bytes (null: none). False when a reply was begun already,
// the status is no final one, or the block is unusable (the reply is then broken).
bool TakeResponseHeader(ToolReply* reply, const char* status, const char* headers);

// WriteClient: body bytes after a header; as the first output a whole "HTTP/" response, or the
// body of a 200 typed by its content. False after a URL answer or for an unusable header.
bool TakeReplyBytes(ToolReply* reply, const char* bytes, size_t size);

// HSE_REQ_SEND_URL (local) and HSE_REQ_SEND_URL_REDIRECT_RESP; false once a reply was begun or
// for a URL no header may carry.
bool TakeUrlReply(ToolReply* reply, const char* url, bool local);

// The whole response ("HTTP/1.1 200 OK\r\n", headers, Content-Length, the empty line, the body),
// or the body alone.
std::string FormatReply(const ToolReply& reply, bool bodyOnly);

// Apache's text for a status code ("Gateway Timeout"); "" for one it has none for.
const char* StandardStatusText(int code);

#endif  // KARVEL_TOOLS_RUN_TOOL_REPLY_H
