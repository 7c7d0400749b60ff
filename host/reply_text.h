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
};

// gets()-like, as Apache's scanner calls it: the next line (with its LF) into `buffer`, at most
// size - 1 bytes and a NUL; 1, or 0 when nothing is left. A block that stops without its empty line
// gets one, so a header string may also be headers alone.
int NextHeaderLine(char* buffer, int size, void* cursor);

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
