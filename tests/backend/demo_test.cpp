// The sample back-ends end to end: the gateway writes the exchange file, starts the program from
// the build's bin/backends directory and replies with what the program answered.
#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "gateway/backend_run.h"
#include "gateway/request_driver.h"
#include "gateway/fake_ecb.h"
#include "support/files.h"

namespace {

using gateway_test::FakeEcb;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteAll;

// The reply as one text: "PAGE <header>", "URL <url>", "REDIRECT <url>" or "FILE <bytes>".
std::string Reply(FakeEcb& fake, const char* program) {
  EXTENSION_CONTROL_BLOCK* ecb = fake.Ecb();
  ExchangeRequest request{};
  if (PrepareRequest(ecb, &request) != nullptr) return "exchange file not written";
  lstrcpyA(request.szBackendPath, program);
  DecideHowItRuns(&request);
  if (ReplyToRequest(ecb, request) != HSE_STATUS_SUCCESS) return "reply failed";
  if (!fake.written().empty()) return "FILE " + fake.written();
  if (fake.supportCalls().size() != 1) return "support calls: " + std::to_string(fake.supportCalls().size());
  const auto& call = fake.supportCalls()[0];
  switch (call.request) {
    case HSE_REQ_SEND_RESPONSE_HEADER: return "PAGE " + call.header;
    case HSE_REQ_SEND_URL: return "URL " + call.buffer;
    case HSE_REQ_SEND_URL_REDIRECT_RESP: return "REDIRECT " + call.buffer;
    default: return "request " + std::to_string(call.request);
  }
}

TEST(SampleBackends, AnswerThroughTheGateway) {
  TempDir dir;
  const std::string temp = dir.File("tmp");
  mkdir(temp.c_str(), 0700);
  ScopedEnv tmpdir("TMPDIR", temp.c_str()), backends("KARVEL_BACKEND_DIR", KARVEL_DEMO_BACKENDS);
  WriteAll(temp + "/five.txt", "12345");
  WriteAll(dir.File("outside.txt"), "secret");
  // Another request's upload, where the server keeps it.
  const std::string other = temp + "/VCU0123456789ABCDEF.tmp";
  mkdir(other.c_str(), 0700);
  WriteAll(other + "/other.gif", "GIF89a other");
  const std::string upload = std::string("GIF89a\0\x01\r\n", 10);
  const std::string body = "--XyZ\r\nContent-Disposition: form-data; name=\"file\"; filename=\"up.gif\"\r\n\r\n" +
                           upload + "\r\n--XyZ--\r\n";
  const struct {
    const char* name;
    FakeEcb fake;
    const char* program;
    std::vector<std::string> wanted, unwanted;
  } cases[] = {
      {"echo escapes names and values", FakeEcb::Get("n%3C=%3Ca%26b%3E&q=%22%27&k=%B0%A1"), "echo",
       {"PAGE Content-Type: text/html; charset=Shift_JIS\r\n\r\n<html>", "GET from",
        "<tr><td>n&lt;</td><td>&lt;a&amp;b&gt;</td><td></td></tr>", "<td>&quot;&#39;</td>",
        "<tr><td>k</td><td>\x88\x9F</td>"},
       {"<a&"}},
      // A form declaring UTF-8 gets a UTF-8 page; what its page could not encode shows through references.
      {"echo answers a UTF-8 form in UTF-8",
       FakeEcb::Get("_charset_=UTF-8&t=%E2%91%A0%E3%88%B1%E9%AB%99%EF%A8%91%E3%80%9C%F0%9F%98%80%3Cb%3E"), "echo",
       {"charset=UTF-8\r\n\r\n<html><head><meta charset=\"UTF-8\">", "<td>t</td><td>①㈱髙﨑～&#128512;&lt;b&gt;</td>"},
       {"Shift_JIS"}},
      {"echo keeps only whole decimal references", FakeEcb::Get("t=%26%2365%3B%26%2312%26x%3B%26%23%3B%26%2312345678%3B"),
       "echo", {"<td>t</td><td>&#65;&amp;#12&amp;x;&amp;#;&amp;#12345678;</td>"}, {}},
      {"echo sizes this request's uploads only", FakeEcb::Post(body), "echo", {"up.gif</td><td>10 bytes</td>"}, {}},
      {"echo looks at no other path",
       FakeEcb::Get("t=" + temp + "/five.txt&u=" + temp + "/../outside.txt&o=" + other + "/other.gif"), "echo",
       {"five.txt</td><td></td>"}, {"5 bytes", "6 bytes", "12 bytes"}},
      {"goto a local path", FakeEcb::Get("to=/static/a.html"), "goto", {"URL /static/a.html"}, {}},
      {"goto elsewhere", FakeEcb::Get("to=http://example.invalid/x"), "goto", {"REDIRECT http://example.invalid/x"},
       {}},
      {"goto without a target", FakeEcb::Get("a=1"), "goto", {"URL /"}, {}},
      {"goto refuses CR LF", FakeEcb::Get("to=/a%0D%0ASet-Cookie:+x"), "goto", {"URL /"}, {"Cookie"}},
      {"show_upload sends the upload", FakeEcb::Post(body), "show_upload", {"FILE " + upload}, {}},
      {"show_upload ignores typed paths", FakeEcb::Get("file=" + dir.File("outside.txt")), "show_upload",
       {"PAGE ", "No uploaded file"}, {"secret"}},
      {"show_upload ignores other temporary files", FakeEcb::Get("file=" + temp + "/five.txt"), "show_upload",
       {"No uploaded file"}, {"12345"}},
      {"show_upload ignores another request's upload", FakeEcb::Get("file=" + other + "/other.gif"), "show_upload",
       {"No uploaded file"}, {"other"}},
      {"show_upload ignores another request's upload, posted as a value",
       FakeEcb::Post("--XyZ\r\nContent-Disposition: form-data; name=\"file\"\r\n\r\n" + other +
                     "/other.gif\r\n--XyZ--\r\n"),
       "show_upload", {"No uploaded file"}, {"other"}},
  };
  for (auto c : cases) {
    const std::string reply = Reply(c.fake, c.program);
    for (const auto& text : c.wanted) EXPECT_NE(reply.find(text), std::string::npos) << c.name << ": " << reply;
    for (const auto& text : c.unwanted) EXPECT_EQ(reply.find(text), std::string::npos) << c.name << ": " << reply;
  }
  // Every exchange file was answered and deleted; no answer file is left behind.
  DIR* listing = opendir(temp.c_str());
  ASSERT_NE(listing, nullptr);
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    EXPECT_TRUE(name == "." || name == ".." || name == "five.txt" || name.rfind("VCU", 0) == 0) << name << " left";
  }
  closedir(listing);
}

}  // namespace
