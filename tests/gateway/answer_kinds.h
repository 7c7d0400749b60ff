// The answer kinds a back-end program can give and what the request must do with each, shared by
// the POSIX and the Windows back-end tests (which differ only in how they make the programs).
#ifndef KARVEL_TESTS_GATEWAY_ANSWER_KINDS_H
#define KARVEL_TESTS_GATEWAY_ANSWER_KINDS_H

#include <gtest/gtest.h>

#include <string>

#include "gateway/error_page.h"
#include "gateway/request_driver.h"
#include "gateway/fake_ecb.h"

namespace gateway_test {

// The error page the extension sends with `text`, header string included.
inline std::string ErrorPageWith(const char* text) {
  return std::string("Content-Type: text/html\r\n\r\n<BODY><center><HEAD><TITLE>V_KARVEL</TITLE></HEAD><P></P><P></P><P>"
                     "<H1>SERVER ERROR!!!</P><P>") + text + "</H1></P></center></BODY>";
}

// Runs a request for each of the programs "page" (answers a page holding a NUL), "local" and
// "away" (URLs), "other" (result code 3), "short" (just "91"), "file" (an existing file with
// `fileBytes`) and "nofile" (a missing file), named in VBEXE with `suffix` (".exe" on Windows),
// and checks the status, the one ServerSupportFunction call, the bytes written and that no
// exchange file is left behind, whatever the answer. `Fixture` offers Request(fake, &request) and
// TempFiles().
template <typename Fixture>
void ExpectEachAnswerKind(Fixture& f, const std::string& suffix, const std::string& fileBytes) {
  const struct {
    const char* program;
    DWORD status;
    DWORD request;  // the one ServerSupportFunction call expected, 0 for none
    std::string text;
    std::string written;
  } cases[] = {
      {"page", HSE_STATUS_SUCCESS, HSE_REQ_SEND_RESPONSE_HEADER, "Content-Type: text/plain\r\n\r\nhello world", ""},
      {"local", HSE_STATUS_SUCCESS, HSE_REQ_SEND_URL, "/static/a.html", ""},
      {"away", HSE_STATUS_SUCCESS, HSE_REQ_SEND_URL_REDIRECT_RESP, "http://example.invalid/x", ""},
      {"other", HSE_STATUS_ERROR, 0, "", ""},
      {"short", HSE_STATUS_SUCCESS, HSE_REQ_SEND_RESPONSE_HEADER, "", ""},
      {"file", HSE_STATUS_SUCCESS, 0, "", fileBytes},
      {"nofile", HSE_STATUS_ERROR, HSE_REQ_SEND_RESPONSE_HEADER, ErrorPageWith(ERROR_TEXT_IMAGE), ""},
  };
  for (const auto& c : cases) {
    FakeEcb fake = FakeEcb::Get(std::string("VBEXE=") + c.program + suffix + "&x=1");
    ExchangeRequest request{};
    EXPECT_EQ(f.Request(fake, &request), c.status) << c.program;
    const auto& calls = fake.supportCalls();
    if (c.request == 0) {
      EXPECT_TRUE(calls.empty()) << c.program;
    } else {
      ASSERT_EQ(calls.size(), 1u) << c.program;
      EXPECT_EQ(calls[0].request, c.request) << c.program;
      EXPECT_EQ(c.request == HSE_REQ_SEND_RESPONSE_HEADER ? calls[0].header : calls[0].buffer, c.text) << c.program;
    }
    EXPECT_EQ(fake.written(), c.written) << c.program;
    EXPECT_EQ(f.TempFiles(), 0) << c.program << ": the answered exchange file is gone, however the reply went";
  }
}

}  // namespace gateway_test

#endif  // KARVEL_TESTS_GATEWAY_ANSWER_KINDS_H
