// The host's reading of reply text, apart from Apache: header blocks, status codes, status lines,
// URLs fit for a header, and the line-by-line hand-out to Apache's scanner.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/reply_text.h"

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

TEST(ReplyText, HeaderLinesComeOutWholeOrCutToTheBuffer) {
  const std::string block = "A: 1\r\nLong: " + std::string(40, 'x') + "\r\n";
  HeaderCursor cursor{block.data(), block.data() + block.size(), false};
  char line[16];
  ASSERT_EQ(NextHeaderLine(line, sizeof line, &cursor), 1);
  EXPECT_STREQ(line, "A: 1\r\n");
  std::string rest;
  while (NextHeaderLine(line, sizeof line, &cursor) == 1 && line[0] != '\0') {
    EXPECT_LE(std::strlen(line), sizeof line - 1);
    rest += line;
  }
  EXPECT_EQ(rest, block.substr(6));
  // A block without its empty line gets one, once; then nothing.
  EXPECT_EQ(NextHeaderLine(line, sizeof line, &cursor), 0);
  EXPECT_EQ(NextHeaderLine(line, 1, &cursor), 0);
}

}  // namespace
