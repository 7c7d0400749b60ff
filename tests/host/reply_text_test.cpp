// The host's reading of reply text, apart from Apache: header blocks, status codes, status lines,
// URLs fit for a header, and the line-by-line hand-out to Apache's scanner.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/module/reply_text.h"

namespace {

TEST(ReplyText, HeaderBlocksStatusesAndUrls) {
  const struct {
    const char* text;
    bool headers;
  } blocks[] = {
      {"Content-Type: text/html\r\n\r\nbody", true},
      {"X:1", true},
      {"\r\nbody after an empty header block", true},
      {"\nbody", true},
      {"<html>no headers", false},
      {"Content Type: x", false},  // a blank in the name
      {": no name", false},
      {"Content-Type", false},      // no colon before the end
      {"Na(me): x", false},          // a separator in the name
      {"\r", false},                 // CR alone is no empty line
      {"", false},
  };
  for (const auto& b : blocks) {
    EXPECT_EQ(StartsWithHeaderBlock(b.text, b.text + std::strlen(b.text)), b.headers) << b.text;
  }

  const struct {
    const char* status;
    int code;
  } statuses[] = {{nullptr, 200}, {"200 OK", 200}, {"404", 404}, {"599 x", 599}, {"302 Found", 302},
                  {"199 Early", 0}, {"600 x", 0},  {"20", 0},     {"2000", 0},    {"abc", 0},
                  {"", 0},          {" 200", 0}};
  for (const auto& s : statuses) EXPECT_EQ(ParseStatus(s.status), s.code) << (s.status ? s.status : "(null)");

  const struct {
    const char* text;
    bool found;
    const char* status;
  } lines[] = {
      {"HTTP/1.1 200 OK\r\nX: y\r\n\r\n", true, "200 OK"},
      {"HTTP/1.0 404\nbody", true, "404"},
      {"HTTP/1.1 200 OK", false, nullptr},      // no line end
      {"HTTP/1.1\r\n", false, nullptr},         // no blank
      {"HTTP/1.1 100 Continue\r\n", false, nullptr},
      {"HTTP/1.1 2x0 OK\r\n", false, nullptr},
  };
  for (const auto& l : lines) {
    const char* status = nullptr;
    const char* statusEnd = nullptr;
    const char* lineEnd = nullptr;
    const char* end = l.text + std::strlen(l.text);
    ASSERT_EQ(FindStatusLine(l.text, end, &status, &statusEnd, &lineEnd), l.found) << l.text;
    if (l.found) {
      EXPECT_EQ(std::string(status, statusEnd), l.status);
      EXPECT_EQ(lineEnd[-1], '\n');
    }
  }

  for (const char* url : {"/local", "http://example.com/?a=b", "/\xE3\x83\x86"}) EXPECT_TRUE(UsableUrl(url)) << url;
  for (const char* url : {"", "/a\r\nSet-Cookie: x", "/a\nb", "/tab\there", "/del\x7F"}) {
    EXPECT_FALSE(UsableUrl(url)) << url;
  }
  EXPECT_FALSE(UsableUrl(nullptr));
}

// Every header is handed out whole, as the one header it was written as, or the block is
// unusable: no byte of a value may start a header of its own for Apache or for a client.
TEST(ReplyText, HeaderLinesAreWholeHeadersOrTheBlockIsUnusable) {
  const std::string longValue(40, 'x');
  const struct {
    std::string block;
    std::string lines;  // the lines handed out up to the empty one, joined; empty: unusable
  } cases[] = {
      {"A: 1\r\nB: 2\r\n\r\nbody", "A: 1\nB: 2\n\n"},
      {"A: 1\nB: 2\n\nbody", "A: 1\nB: 2\n\n"},
      {"A: 1", "A: 1"},  // no empty line: the block's end is one
      // obs-fold: the continuation joins its header with one blank
      {"A: 1\r\n  more\r\n\tand more\r\nB: 2\r\n\r\n", "A: 1 more and more\nB: 2\n\n"},
      {"A: 1\r\n \r\nB: 2\r\n\r\n", "A: 1\nB: 2\n\n"},
      // a control byte inside a value is a blank, never a line end
      {"A: 1\rSet-Cookie: x\r\n\r\n", "A: 1 Set-Cookie: x\n\n"},
      {std::string("A: 1\0Set-Cookie: x\r\n\r\n", 23), "A: 1 Set-Cookie: x\n\n"},
      {"A: 1\x0bZ\x7f\r\n\r\n", "A: 1 Z \n\n"},
      {"A: tab\tkept\r\n\r\n", "A: tab\tkept\n\n"},
      // exactly as long as the buffer takes (30 bytes, the LF and the NUL), and one byte more
      {"Fit: " + std::string(25, 'y') + "\r\n\r\n", "Fit: " + std::string(25, 'y') + "\n\n"},
      {"Fit: " + std::string(26, 'y') + "\r\n\r\n", ""},
      {"Fit: " + std::string(20, 'y') + "\r\n " + std::string(5, 'z') + "\r\n\r\n", ""},  // folded, one too many
      {"A: 1\r\nLong: " + longValue + "\r\n\r\n", ""},  // its rest must not become a header
      {"A: 1\r\nLong: x\r\n " + longValue + "\r\n\r\n", ""},  // nor a folded line's
      {"A: 1\r\nno colon\r\n\r\n", ""},
      {"A: 1\r\nBad Name: x\r\n\r\n", ""},
      {"A: 1\r\n: empty name\r\n\r\n", ""},
  };
  for (const auto& c : cases) {
    HeaderCursor cursor{c.block.data(), c.block.data() + c.block.size(), false, false};
    char line[33];  // 30 bytes of header, its LF and the NUL, with one byte to spare
    std::string lines;
    while (NextHeaderLine(line, 32, &cursor) == 1) {
      ASSERT_LE(std::strlen(line), 31u) << c.block;
      lines += line;
      if (line[0] == '\n' || line[0] == '\0') break;
    }
    if (c.lines.empty()) {
      EXPECT_TRUE(cursor.bUnusable) << c.block;
      EXPECT_EQ(NextHeaderLine(line, 32, &cursor), 0) << "nothing after an unusable line: " << c.block;
    } else {
      EXPECT_FALSE(cursor.bUnusable) << c.block;
      EXPECT_EQ(lines, c.lines) << c.block;
    }
  }
  // A block without its empty line gets one, once; then nothing.
  const std::string bare = "A: 1";
  HeaderCursor cursor{bare.data(), bare.data() + bare.size(), false, false};
  char line[16];
  ASSERT_EQ(NextHeaderLine(line, sizeof line, &cursor), 1);
  ASSERT_EQ(NextHeaderLine(line, sizeof line, &cursor), 1);
  EXPECT_STREQ(line, "");
  EXPECT_EQ(NextHeaderLine(line, sizeof line, &cursor), 0);
  EXPECT_EQ(NextHeaderLine(line, 1, &cursor), 0);
}

TEST(ReplyText, FramingHeadersAndStatusTexts) {
  const struct {
    const char* name;
    bool framing;
  } names[] = {
      {"Content-Length", true}, {"content-length", true}, {"TRANSFER-ENCODING", true}, {"Connection", true},
      {"Keep-Alive", true},     {"Proxy-Connection", true}, {"TE", true},            {"te", true},
      {"Trailer", true},        {"Upgrade", true},
      // what a back-end sets on purpose stays
      {"Content-Type", false}, {"Set-Cookie", false}, {"Location", false}, {"Status", false},
      {"Cache-Control", false}, {"Content-Length-X", false}, {"Tee", false}, {"", false},
  };
  for (const auto& n : names) EXPECT_EQ(IsFramingHeader(n.name), n.framing) << n.name;
  EXPECT_FALSE(IsFramingHeader(nullptr));
  for (int k = 0; FramingHeaderName(k) != nullptr; ++k) EXPECT_TRUE(IsFramingHeader(FramingHeaderName(k)));
  EXPECT_EQ(FramingHeaderName(-1), nullptr);

  for (const char* text : {"200 OK", "404 Not\tFound", "500 \xE3\x82\xA8\xE3\x83\xA9\xE3\x83\xBC"}) {
    EXPECT_TRUE(UsableStatusText(text)) << text;
  }
  for (const char* text : {"200 OK\r\nSet-Cookie: x", "200 OK\rX", "200 OK\nX", "200 \x7f"}) {
    EXPECT_FALSE(UsableStatusText(text)) << text;
  }
  EXPECT_FALSE(UsableStatusText(nullptr));
}

}  // namespace
