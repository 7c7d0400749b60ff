// The kit finds a request's uploads where the site keeps them apart from exchange files: the
// directory the server names in KARVEL_UPLOAD_DIR, under the exchange file's digits. IsUpload holds
// only for a regular file there, this request's own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "gateway/fake_ecb.h"
#include "gateway/request_driver.h"
#include "karvel_backend.h"
#include "support/files.h"

namespace {

using gateway_test::FakeEcb;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteAll;

TEST(UploadsApart, OnlyThisRequestsUploadsInTheSitesUploadDirectoryAreItsOwn) {
  TempDir dir;
  const std::string temp = dir.File("tmp"), root = dir.File("uploads");
  mkdir(temp.c_str(), 0700);
  mkdir(root.c_str(), 0700);
  FakeEcb fake = FakeEcb::Post("--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"up.txt\"\r\n\r\n"
                               "12345\r\n--B--\r\n");
  fake.ContentType("multipart/form-data; boundary=B");
  fake.Variable("KARVEL_TEMP_DIR", temp);
  fake.Variable("KARVEL_UPLOAD_DIR", root);
  ExchangeRequest written{};
  ASSERT_EQ(PrepareRequest(fake.Ecb(), &written), nullptr);
  const std::string exchange = written.szExchangePath;
  const std::string digits = exchange.substr(exchange.rfind("/VC") + 3);
  // The program's environment, as the server gives it where the site keeps uploads apart.
  ScopedEnv apart("KARVEL_UPLOAD_DIR", root.c_str());
  karvel::Request request;
  ASSERT_TRUE(karvel::ReadRequest(exchange, &request));
  ASSERT_EQ(request.fields.size(), 1u);
  const std::string own = karvel::UploadDirectory(exchange);
  EXPECT_EQ(own, root + "/VCU" + digits);
  EXPECT_EQ(request.fields[0].value, own + "/up.txt");
  // What a client might name instead: beside the exchange file under the same digits, another
  // request's upload, a link out, ".." out, the directory itself.
  const std::string beside = temp + "/VCU" + digits;
  mkdir(beside.c_str(), 0700);
  WriteAll(beside + "/up.txt", "beside");
  mkdir((root + "/VCUFEDCBA9876543210.tmp").c_str(), 0700);
  WriteAll(root + "/VCUFEDCBA9876543210.tmp/other.txt", "other");
  WriteAll(root + "/loose.txt", "loose");
  symlink((root + "/loose.txt").c_str(), (own + "/link.txt").c_str());
  const struct {
    std::string path;
    bool own;
  } cases[] = {
      {own + "/up.txt", true},
      {own + "/../VCU" + digits + "/up.txt", true},
      {beside + "/up.txt", false},
      {root + "/VCUFEDCBA9876543210.tmp/other.txt", false},
      {own + "/../VCUFEDCBA9876543210.tmp/other.txt", false},
      {own + "/link.txt", false},
      {own + "/../loose.txt", false},
      {own, false},
      {exchange, false},
  };
  for (const auto& c : cases) {
    long long size = -1;
    EXPECT_EQ(karvel::IsUpload(exchange, c.path, &size), c.own) << c.path;
    if (c.own) {
      EXPECT_EQ(size, 5) << c.path;
    }
  }
  // Without the variable the kit looks beside the exchange file, as for every site before.
  {
    ScopedEnv none("KARVEL_UPLOAD_DIR", nullptr);
    EXPECT_EQ(karvel::UploadDirectory(exchange), beside);
    EXPECT_FALSE(karvel::IsUpload(exchange, own + "/up.txt"));
  }
  // Named with its separator, the same directory.
  ScopedEnv separated("KARVEL_UPLOAD_DIR", (root + "/").c_str());
  EXPECT_EQ(karvel::UploadDirectory(exchange), own);
  EXPECT_EQ(karvel::UploadDirectory("/elsewhere/other.tmp"), "");
}

}  // namespace
