// Reading the text of an extension's reply, apart from Apache: where a header block begins, its
// lines for Apache's CGI header scanner, the status of a whole "HTTP/" response, and whether a URL
// may go into a header. Plain functions over byte ranges, so they can be fuzzed on their own.
#ifndef KARVEL_HOST_REPLY_TEXT_H
#define KARVEL_HOST_REPLY_TEXT_H

// The header block being scanned, handed out line by line.
struct HeaderCursor {
  const char* pNext;
  const char* pEnd;
  bool bEndGiven;
  bool bUnusable;  // a line that is no header, or too long for the buffer: the block must not be used
};

// gets()-like, as Apache's scanner calls it: the next header into `buffer` as one line ending in
// LF, at most size - 1 bytes and a NUL; 1, or 0 when nothing is left. A block that stops without
// its empty line gets one, so a header string may also be headers alone. What reaches the buffer
// can only ever be read as the one header it was written as: folded lines (obs-fold) are joined
// with a blank, and every control byte in a value (CR, NUL, ...; not TAB) becomes a blank. A line
// that is no "name: value" header, or a header that does not fit the buffer whole, sets bUnusable
// and gives 0: a cut header's rest must never be read as a header of its own.
int NextHeaderLine(char* buffer, int size, void* cursor);

// True when `name` frames the response or belongs to one connection only (Content-Length,
// Transfer-Encoding and the hop-by-hop headers), compared without regard to case. The server alone
// frames what it sends: these are never taken from an answer.
bool IsFramingHeader(const char* name);
// The k-th of those names (from 0), nullptr past the last.
const char* FramingHeaderName(int k);

// True for a status text ("200 OK") that may follow the protocol on the status line: no control
// byte in it, none that could end the line early.
bool UsableStatusText(const char* status);

// True when [text, end) begins with a header line (a field name of token characters and a colon)
// or with the empty line of an empty header block; otherwise the text has no headers, all body.
bool StartsWithHeaderBlock(const char* text, const char* end);

// "NNN text" or "NNN" with NNN in 200..599 (a final status): the code, else 0. Null gives 200.
int ParseStatus(const char* status);

// The status line of a whole response, "HTTP/1.1 200 OK\r\n": [*status, *statusEnd) is "200 OK"
// and *lineEnd the byte after its LF. False when there is no LF, no blank in the line, or no final
// status behind the blank.
bool FindStatusLine(const char* text, const char* end, const char** status, const char** statusEnd,
                    const char** lineEnd);

// False for what must never reach a header: null, empty, or holding a control character (CR, LF).
bool UsableUrl(const char* url);

#endif  // KARVEL_HOST_REPLY_TEXT_H
