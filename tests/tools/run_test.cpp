// karvel-run's own parts: what it takes from its command line, the form it sends for each charset
// (read back by the extension's own charset rules and converters), and the response it prints.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gateway/form_charset.h"
#include "tools/run/form_body.h"
#include "tools/run/run_options.h"
#include "tools/run/tool_reply.h"

namespace {

bool Parse(std::vector<const char*> arguments, RunOptions* options, std::string* error) {
  arguments.insert(arguments.begin(), "karvel-run");
  return ParseRunOptions(static_cast<int>(arguments.size()), arguments.data(), options, error);
}

TEST(RunOptionsTest, BadUsageIsRefusedWithItsReason) {
  const std::string readable = std::string(KARVEL_RUN_TEST_SOURCE) + "/run_test.cpp";
  const std::string uploadField = "f=@" + readable, longAddress(256, 'a');
  struct Case {
    std::vector<const char*> arguments;
    const char* said;  // a piece of the reason
  };
  const std::vector<Case> cases = {
      {{}, "no PROGRAM"},
      {{"--get"}, "no PROGRAM"},
      {{"prog", "novalue"}, "not a field"},
      {{"prog", "=value"}, "not a field"},
      {{"prog", "f=@/no/such/file"}, "cannot read the upload"},
      {{"prog", "f=@"}, "cannot read the upload"},
      {{"--frobnicate", "prog"}, "unknown option"},
      {{"prog", "--timeout"}, "needs a value"},
      {{"prog", "--timeout", ""}, "needs a value"},
      {{"prog", "--timeout", "0"}, "--timeout"},
      {{"prog", "--timeout", "5s"}, "--timeout"},
      {{"prog", "--timeout", "1234567890"}, "--timeout"},
      {{"prog", "--timeout", "-1"}, "--timeout"},
      {{"prog", "--charset", "latin1"}, "--charset"},
      {{"prog", "--charset"}, "--charset"},
      {{"--get", "--post", "prog"}, "--get cannot"},
      {{"--get", "--multipart", "prog"}, "--get cannot"},
      {{"--get", "prog", uploadField.c_str()}, "needs a POST"},
      {{"--body", readable.c_str(), "prog"}, "go together"},
      {{"--content-type", "text/plain", "prog"}, "go together"},
      {{"--body", readable.c_str(), "--content-type", "t/t", "prog", "a=1"}, "whole form"},
      {{"--body", readable.c_str(), "--content-type", "t/t", "--get", "prog"}, "whole form"},
      {{"--body", "/no/such/body", "--content-type", "t/t", "prog"}, "cannot read the body"},
      {{"--remote-addr", longAddress.c_str(), "prog"}, "255"},
      {{"--wine-prefix", "/tmp", "prog"}, "--wine"},
  };
  for (const Case& c : cases) {
    RunOptions options;
    std::string error;
    EXPECT_FALSE(Parse(c.arguments, &options, &error)) << c.said;
    EXPECT_NE(std::string::npos, error.find(c.said)) << error;
  }
}

TEST(RunOptionsTest, FieldsUploadsAndSettingsAreTakenAsGiven) {
  const std::string upload = std::string(KARVEL_RUN_TEST_SOURCE) + "/run_test.cpp";
  RunOptions options;
  std::string error;
  ASSERT_TRUE(Parse({"--timeout", "1500ms", "--charset", "EUC-JP", "./prog", "a=b=c", "e=", ("u=@" + upload).c_str(),
                     "--", "--x=1"},
                    &options, &error))
      << error;
  EXPECT_EQ("./prog", options.program);
  EXPECT_EQ("1500ms", options.timeout);
  EXPECT_EQ(kSendEucJp, options.charset);
  EXPECT_TRUE(options.bMultipart);  // an upload makes the form multipart
  ASSERT_EQ(4u, options.fields.size());
  EXPECT_EQ("a", options.fields[0].name);
  EXPECT_EQ("b=c", options.fields[0].value);
  EXPECT_EQ("", options.fields[1].value);
  EXPECT_TRUE(options.fields[2].bUpload);
  EXPECT_EQ(upload, options.fields[2].value);
  EXPECT_EQ("--x", options.fields[3].name);  // after "--" nothing is an option
}

// UTF-8 text sent in each charset, read back as the extension reads a form declared in it: the
// label is one of its own, and its converter gives the Shift_JIS the text has.
TEST(FormBodyTest, EachCharsetIsDeclaredAndReadBackAsTheSameText) {
  const std::vector<std::string> texts = {"plain ascii", "山田 太郎", "ｶﾀｶﾅ", "①Ⅹ㈱", "～－", "表示", "a&b=c+d%"};
  std::vector<std::string> sjis;
  for (const std::string& text : texts) {
    std::string converted, error;
    ASSERT_TRUE(ConvertFromUtf8(text, kSendShiftJis, &converted, &error)) << text << error;
    sjis.push_back(converted);
  }
  EXPECT_EQ("\x8E\x52\x93\x63\x20\x91\xBE\x98\x59", sjis[1]);
  for (const SendCharset charset : {kSendShiftJis, kSendUtf8, kSendEucJp, kSendJis}) {
    FormCharset declared = kCharsetAuto;
    const std::string label = SendCharsetLabel(charset);
    ASSERT_TRUE(FormCharsetNamed(label.c_str(), label.size(), &declared)) << label;
    for (size_t k = 0; k < texts.size(); ++k) {
      // ISO-2022-JP has no half-width katakana; the extension reads EUC-JP's as full-width ones.
      if ((charset == kSendJis || charset == kSendEucJp) && texts[k] == "ｶﾀｶﾅ") continue;
      std::string sent, error;
      ASSERT_TRUE(ConvertFromUtf8(texts[k], charset, &sent, &error)) << label << " " << texts[k] << error;
      std::string back(DeclaredValueRoom(sent.size()), '\0');
      back.resize(ConvertDeclaredValue(declared, sent.data(), sent.size(), back.data()));
      EXPECT_EQ(sjis[k], back) << label << " " << texts[k];
    }
  }
}

TEST(FormBodyTest, TextWithoutAPlaceInTheCharsetIsRefused) {
  for (const SendCharset charset : {kSendShiftJis, kSendEucJp, kSendJis}) {
    for (const std::string text : {"😀", "a\xFF" "b", "cut \xE2\x82", "ë"}) {
      // ë: JIS X 0212, in EUC-JP's three-byte set but in neither of the others.
      if (charset == kSendEucJp && text == "ë") continue;
      std::string sent, error;
      EXPECT_FALSE(ConvertFromUtf8(text, charset, &sent, &error)) << SendCharsetLabel(charset) << " " << text;
      EXPECT_FALSE(error.empty());
    }
  }
  std::string sent, error;
  EXPECT_FALSE(ConvertFromUtf8("ｶﾀｶﾅ", kSendJis, &sent, &error));
}

// Every byte survives the urlencoding, and only unreserved bytes go out as they are.
TEST(FormBodyTest, UrlEncodingKeepsEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string encoded = UrlEncode(all);
  std::string decoded;
  for (size_t k = 0; k < encoded.size(); ++k) {
    const char c = encoded[k];
    ASSERT_TRUE(std::isalnum(static_cast<unsigned char>(c)) || std::string("-._~%+").find(c) != std::string::npos) << c;
    if (c == '%') {
      decoded += static_cast<char>(std::stoi(encoded.substr(k + 1, 2), nullptr, 16));
      k += 2;
    } else {
      decoded += c == '+' ? ' ' : c;
    }
  }
  EXPECT_EQ(all, decoded);
}

// The form's shapes: where the program is named and where the charset is declared, so that the
// extension's own readers find them.
TEST(FormBodyTest, TheFormNamesItsProgramAndDeclaresItsCharset) {
  for (const SendCharset charset : {kSendShiftJis, kSendUtf8, kSendEucJp, kSendJis}) {
    const std::string label = SendCharsetLabel(charset);
    RunOptions options;
    options.charset = charset;
    options.fields = {{"a", "1", false}};
    BuiltForm form;
    std::string error;
    options.bGet = true;
    ASSERT_TRUE(BuildForm(options, "prog", "B", &form, &error)) << error;
    EXPECT_EQ("GET", form.method);
    EXPECT_EQ("_charset_=" + UrlEncode(label) + "&VCEXE=prog&a=1", form.query);
    options.bGet = false;
    for (const bool multipart : {false, true}) {
      options.bMultipart = multipart;
      ASSERT_TRUE(BuildForm(options, "prog", "B", &form, &error)) << error;
      EXPECT_EQ("POST", form.method);
      EXPECT_TRUE(form.query.empty());
      FormCharset expected = kCharsetAuto;
      ASSERT_TRUE(FormCharsetNamed(label.c_str(), label.size(), &expected));
      EXPECT_EQ(expected, ContentTypeCharset(form.contentType.c_str())) << form.contentType;
      EXPECT_EQ(std::string::npos, form.body.find("_charset_"));
    }
  }
  // A form that names its own program, or declares its own charset, keeps its own.
  RunOptions options;
  options.bGet = true;
  options.fields = {{"_charset_", "euc-jp", false}, {"VBEXE", "other", false}};
  BuiltForm form;
  std::string error;
  ASSERT_TRUE(BuildForm(options, "prog", "B", &form, &error));
  EXPECT_EQ("_charset_=euc-jp&VBEXE=other", form.query);
}

TEST(FormBodyTest, TheMultipartBoundaryIsHeldByNoPart) {
  const std::string upload = std::string(KARVEL_RUN_TEST_SOURCE) + "/run_test.cpp";  // holds "seed--"
  for (const std::string value : {"plain", "seed", "xx--seed\r\n", "seedx", "--seedxx--"}) {
    RunOptions options;
    options.bMultipart = true;
    options.fields = {{"v", value, false}, {"f", upload, true}};
    BuiltForm form;
    std::string error;
    ASSERT_TRUE(BuildForm(options, "prog", "seed", &form, &error)) << error;
    const std::string marker = "boundary=";
    const size_t at = form.contentType.find(marker) + marker.size();
    const std::string boundary = form.contentType.substr(at, form.contentType.find(';', at) - at);
    EXPECT_EQ(std::string::npos, value.find(boundary)) << value;
    // One line per part and the last, none inside a part.
    size_t count = 0;
    for (size_t k = form.body.find("--" + boundary); k != std::string::npos; k = form.body.find("--" + boundary, k + 1)) ++count;
    EXPECT_EQ(4u, count) << value;
    EXPECT_NE(std::string::npos, form.body.find("\r\n\r\n" + value + "\r\n--" + boundary + "\r\n"));
    EXPECT_NE(std::string::npos, form.body.find("filename=\"run_test.cpp\""));
  }
}

// Seeds the marker the boundary test looks for in this file's own bytes: seed--
std::string FixedType(const char*, size_t) { return "image/png"; }

struct ReplyCase {
  const char* what;
  const char* status;
  const char* headers;
  const char* statusLine;
  std::vector<const char*> shown;   // lines the response has
  std::vector<const char*> absent;  // pieces it has not
  const char* body;
};

TEST(ToolReplyTest, HeaderStringsArePrintedAsTheServerSendsThem) {
  const std::vector<ReplyCase> cases = {
      {"a page", "200 Ok", "Content-Type: text/html\r\n\r\n<p>hi</p>", "HTTP/1.1 200 Ok",
       {"Content-Type: text/html", "Content-Length: 9"}, {}, "<p>hi</p>"},
      {"the type lowered, its parameter not", "200 Ok", "Content-Type: Text/HTML; charset=Shift_JIS\r\n\r\nx",
       "HTTP/1.1 200 Ok", {"Content-Type: text/html; charset=Shift_JIS"}, {}, "x"},
      {"the answer's framing dropped", "200 Ok",
       "Content-Length: 99\r\nTransfer-Encoding: chunked\r\nConnection: close\r\nX-A: 1\r\n\r\nabc", "HTTP/1.1 200 Ok",
       {"Content-Length: 3", "X-A: 1"}, {"99", "chunked", "Connection"}, "abc"},
      {"a Status header", "200 Ok", "Status: 404 Gone Away\r\n\r\nnone", "HTTP/1.1 404 Gone Away", {}, {}, "none"},
      {"a Location redirects", "200 Ok", "Location: http://x/\r\n\r\n", "HTTP/1.1 302 Found",
       {"Location: http://x/"}, {}, ""},
      {"no header block: all body", "200 Ok", "<html>no headers", "HTTP/1.1 200 Ok", {}, {"Content-Type"}, "<html>no headers"},
      {"the standard text for a bare code", "504", "Content-Type: text/html\r\n\r\nlate", "HTTP/1.1 504 Gateway Timeout",
       {}, {}, "late"},
      {"repeated headers merged, cookies not", "200 Ok", "X-B: 1\r\nX-B: 2\r\nSet-Cookie: a=1\r\nSet-Cookie: b=2\r\n\r\n",
       "HTTP/1.1 200 Ok", {"X-B: 1, 2", "Set-Cookie: a=1", "Set-Cookie: b=2"}, {}, ""},
      {"a 304 has no body", "304 Not Modified", "X-C: 1\r\n\r\nignored", "HTTP/1.1 304 Not Modified", {},
       {"Content-Length", "ignored"}, ""},
      {"an unusable block: the server's 500", "200 Ok", "Content-Type: text/html\r\nno header line\r\n\r\nbody",
       "HTTP/1.1 500 Internal Server Error", {}, {"text/html", "body"}, ""},
  };
  for (const ReplyCase& c : cases) {
    ToolReply reply;
    TakeResponseHeader(&reply, c.status, c.headers);
    const std::string shown = FormatReply(reply, false);
    const size_t headEnd = shown.find("\r\n\r\n");
    ASSERT_NE(std::string::npos, headEnd) << c.what;
    EXPECT_EQ(0u, shown.find(std::string(c.statusLine) + "\r\n")) << c.what << "\n" << shown;
    for (const char* line : c.shown) EXPECT_NE(std::string::npos, shown.find(std::string("\r\n") + line + "\r\n")) << c.what << "\n" << shown;
    for (const char* piece : c.absent) EXPECT_EQ(std::string::npos, shown.find(piece)) << c.what << "\n" << shown;
    EXPECT_EQ(c.body, shown.substr(headEnd + 4)) << c.what;
    EXPECT_EQ(c.body, FormatReply(reply, true)) << c.what;
  }
}

TEST(ToolReplyTest, RawBytesAreAWholeResponseOrATypedBody) {
  ToolReply whole;
  const std::string response = "HTTP/1.1 201 Made\r\nContent-Type: text/plain\r\n\r\nmade";
  ASSERT_TRUE(TakeReplyBytes(&whole, response.data(), response.size()));
  ASSERT_TRUE(TakeReplyBytes(&whole, "!", 1));
  EXPECT_EQ("HTTP/1.1 201 Made\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nmade!", FormatReply(whole, false));

  ToolReply raw;
  raw.sniff = FixedType;
  const std::string bytes("\x89PNG\0\1", 6);
  ASSERT_TRUE(TakeReplyBytes(&raw, bytes.data(), bytes.size()));
  EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 6\r\n\r\n" + bytes, FormatReply(raw, false));

  // One reply a request: a second header, or bytes after a URL answer, are refused.
  EXPECT_FALSE(TakeResponseHeader(&raw, "200 Ok", "X: 1\r\n\r\n"));
  ToolReply url;
  ASSERT_TRUE(TakeUrlReply(&url, "http://elsewhere/", false));
  EXPECT_FALSE(TakeReplyBytes(&url, "x", 1));
  EXPECT_EQ("HTTP/1.1 302 Found\r\nLocation: http://elsewhere/\r\nContent-Length: 0\r\n\r\n", FormatReply(url, false));
  ToolReply bad;
  EXPECT_FALSE(TakeUrlReply(&bad, "http://x/\r\nX-Injected: 1", false));
  EXPECT_FALSE(TakeUrlReply(&bad, "relative", true));
  EXPECT_FALSE(TakeResponseHeader(&bad, "99 Too Low", nullptr));
}

}  // namespace
