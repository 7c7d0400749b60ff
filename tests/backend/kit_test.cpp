// The back-end kit against exchange files written by the gateway itself, against damaged files,
// and its three answers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "gateway/request_driver.h"
#include "gateway/fake_ecb.h"
#include "karvel_backend.h"
#include "support/files.h"

namespace {

using gateway_test::FakeEcb;
using test_support::ReadAll;
using test_support::ScopedEnv;
using test_support::TempDir;
using test_support::WriteAll;
using namespace std::string_literals;
using Fields = std::vector<std::pair<std::string, std::string>>;

std::string WriteRequest(FakeEcb& fake, const TempDir& dir) {
  ScopedEnv tmpdir("TMPDIR", dir.path().c_str());
  ExchangeRequest request{};
  EXPECT_EQ(PrepareRequest(fake.Ecb(), &request), nullptr);
  return request.szExchangePath;
}

uint32_t NumberAt(const std::string& file, size_t at) {
  uint32_t n = 0;
  std::memcpy(&n, file.data() + at, 4);  // little-endian host
  return n;
}

// Each index entry's offset base ("1" or "0"), worked out from where its records really are.
std::string Bases(const std::string& file) {
  std::string bases;
  const uint32_t count = NumberAt(file, 8);
  size_t position = 524 + 16 * size_t{count};
  for (uint32_t k = 0; k < count; ++k) {
    bases += std::to_string(NumberAt(file, 524 + 16 * k) - position);
    position += NumberAt(file, 524 + 16 * k + 4) + NumberAt(file, 524 + 16 * k + 12) + 1;
  }
  return bases;
}

// Parses a copy on the heap of exactly the file's size, so that AddressSanitizer sees over-reads.
bool ParseExact(const std::string& bytes, karvel::Request* out, std::string* error) {
  std::unique_ptr<char[]> copy(new char[bytes.size()]);
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  return karvel::ParseRequest(std::string_view(copy.get(), bytes.size()), out, error);
}

TEST(ReadRequest, ReadsWhatTheGatewayWroteWhateverTheOffsetBase) {
  std::string many;
  Fields manyFields;
  for (int k = 0; k < 300; ++k) {
    many += (k ? "&f" : "f") + std::to_string(k) + "=" + std::to_string(k * 7) + (k == 150 ? "&VCEXE=p" : "");
    manyFields.push_back({"f" + std::to_string(k), std::to_string(k * 7)});
    if (k == 150) manyFields.push_back({"VCEXE", "p"});
  }
  const struct {
    const char* name;
    std::string query, bases;
    Fields fields;
  } cases[] = {
      {"VCEXE after a field", "a=1&VCEXE=prog&b=2", "100", {{"a", "1"}, {"VCEXE", "prog"}, {"b", "2"}}},
      {"VCEXE first", "VCEXE=p&a=1", "00", {{"VCEXE", "p"}, {"a", "1"}}},
      {"VBEXE before VCEXE", "a=1&VBEXE=p&VCEXE=q", "111", {{"a", "1"}, {"VBEXE", "p"}, {"VCEXE", "q"}}},
      {"no program field", "x=&y=2", "11", {{"x", ""}, {"y", "2"}}},
      {"EUC-JP converted on both bases", "k=%B0%A1&VCEXE=p&e=%B0%A1%B0%A1", "100",
       {{"k", "\x88\x9F"}, {"VCEXE", "p"}, {"e", "\x88\x9F\x88\x9F"}}},
      {"NUL bytes kept in unchanged values", "z=%00&n=a%00b&VCEXE=p&t=x%00", "1100",
       {{"z", "\0"s}, {"n", "a\0b"s}, {"VCEXE", "p"}, {"t", "x\0"s}}},
      {"converted value ends at its NUL", "k=%B0%A1%00z&m=1", "11", {{"k", "\x88\x9F"}, {"m", "1"}}},
      {"empty values on both bases", "e=&VCEXE=p&f=", "100", {{"e", ""}, {"VCEXE", "p"}, {"f", ""}}},
      {"300 fields", many, std::string(151, '1') + std::string(150, '0'), manyFields},
  };
  TempDir dir;
  for (const auto& c : cases) {
    FakeEcb fake = FakeEcb::Get(c.query);
    const std::string path = WriteRequest(fake, dir);
    EXPECT_EQ(Bases(ReadAll(path)), c.bases) << c.name << ": the gateway's layout is not the one meant";
    karvel::Request request;
    std::string error;
    ASSERT_TRUE(karvel::ReadRequest(path, &request, &error)) << c.name << ": " << error;
    Fields got;
    for (const auto& field : request.fields) got.push_back({field.name, field.value});
    EXPECT_EQ(got, c.fields) << c.name;
  }
}

// The server counts fields it cannot list (a bare name turns the rest into multipart parts; a
// body may end inside a part header); their index entries are zero, and the file is sound.
TEST(ReadRequest, FieldsCountedButNotListedAreNoDamage) {
  const std::string cut = "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv\r\n--B\r\n"
                          "Content-Disposition: form-data; name=\"b\"\r\n";
  const struct {
    const char* name;
    FakeEcb fake;
    uint32_t count;
    Fields fields;
  } cases[] = {
      {"a bare name", FakeEcb::Get("a=1&flag&b=2"), 2, {{"a", "1"}}},
      {"a bad escape, then a bare name", FakeEcb::Get("a=%ZZ&b=2"), 2, {{"a", ""}}},
      {"a body cut inside a part header", FakeEcb::Post(cut), 2, {{"a", "v"}}},
  };
  TempDir dir;
  for (auto c : cases) {
    ExchangeRequest written{};
    {
      ScopedEnv tmpdir("TMPDIR", dir.path().c_str());
      PrepareRequest(c.fake.Ecb(), &written);
    }
    const std::string bytes = ReadAll(written.szExchangePath);
    karvel::Request request;
    std::string error;
    ASSERT_TRUE(ParseExact(bytes, &request, &error)) << c.name << ": " << error;
    EXPECT_EQ(request.fieldCount, c.count) << c.name;
    Fields got;
    for (const auto& field : request.fields) got.push_back({field.name, field.value});
    EXPECT_EQ(got, c.fields) << c.name;
    // An unused entry that holds something is damage.
    std::string bad = bytes;
    bad[524 + 16 * c.fields.size() + 4] = 1;
    EXPECT_FALSE(ParseExact(bad, &request, &error)) << c.name;
  }
}

// IsUpload tells the files a client uploaded with this very request from any other path a field
// may name: other requests' uploads, other temporary files, links and ".." out of the directory.
TEST(Uploads, OnlyThisRequestsUploadsAreItsOwn) {
  TempDir dir;
  FakeEcb fake = FakeEcb::Post("--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"up.txt\"\r\n\r\n"
                               "12345\r\n--B--\r\n");
  const std::string exchange = WriteRequest(fake, dir);
  karvel::Request request;
  ASSERT_TRUE(karvel::ReadRequest(exchange, &request));
  ASSERT_EQ(request.fields.size(), 1u);
  const std::string upload = request.fields[0].value;
  const std::string own = karvel::UploadDirectory(exchange);
  EXPECT_EQ(upload, own + "/up.txt");
  WriteAll(dir.File("VCU0123456789ABCDEF.tmp"), "");  // a file of another request's name
  mkdir(dir.File("VCUFEDCBA9876543210.tmp").c_str(), 0700);
  WriteAll(dir.File("VCUFEDCBA9876543210.tmp/other.txt"), "other");
  WriteAll(dir.File("loose.txt"), "loose");
  symlink(dir.File("loose.txt").c_str(), (own + "/link.txt").c_str());
  mkdir((own + "/sub").c_str(), 0700);
  symlink(upload.c_str(), dir.File("alias.txt").c_str());  // a path to it that does not name the directory
  const struct {
    std::string path;
    bool own;
  } cases[] = {
      {upload, true},
      {own + "/../" + own.substr(own.rfind('/') + 1) + "/up.txt", true},
      {own + "/missing.txt", false},
      {own + "/sub", false},
      {own + "/link.txt", false},
      {own + "/../loose.txt", false},
      {dir.File("VCUFEDCBA9876543210.tmp/other.txt"), false},
      {dir.File("loose.txt"), false},
      {dir.File("alias.txt"), false},
      {exchange, false},
      {"", false},
      {"up.txt", false},
  };
  for (const auto& c : cases) {
    long long size = -1;
    EXPECT_EQ(karvel::IsUpload(exchange, c.path, &size), c.own) << c.path;
    if (c.own) {
      EXPECT_EQ(size, 5) << c.path;
    }
  }
  EXPECT_EQ(karvel::UploadDirectory("/tmp/VC1.tmp"), "/tmp/VCU1.tmp");
  EXPECT_EQ(karvel::UploadDirectory("VC1.tmp"), "VCU1.tmp");
  EXPECT_EQ(karvel::UploadDirectory("/tmp/other.tmp"), "");
  EXPECT_FALSE(karvel::IsUpload("/tmp/other.tmp", upload)) << "no upload directory for a foreign name";
}

TEST(ReadRequest, ReadsTheHeader) {
  const struct {
    const char* name;
    FakeEcb fake;
    char method;
  } cases[] = {{"POST", FakeEcb::Post("a=1&a=2"), '1'}, {"get", FakeEcb::Get("a=1&a=2", "get"), '2'},
               {"Get (read, but not a method digit)", FakeEcb::Get("a=1&a=2", "Get"), '0'}};
  TempDir dir;
  for (auto c : cases) {
    c.fake.Variable("REMOTE_ADDR", "192.0.2.7").Variable("REMOTE_USER", "taro");
    karvel::Request request;
    ASSERT_TRUE(karvel::ReadRequest(WriteRequest(c.fake, dir), &request)) << c.name;
    EXPECT_EQ(request.method, c.method) << c.name;
    EXPECT_EQ(request.connection, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(c.fake.ecb().ConnID))) << c.name;
    EXPECT_EQ(request.remoteAddr, "192.0.2.7") << c.name;
    EXPECT_EQ(request.remoteUser, "taro") << c.name;
    ASSERT_NE(request.find("a"), nullptr) << c.name;
    EXPECT_EQ(request.find("a")->value, "1") << c.name << ": find gives the first of two";
    EXPECT_EQ(request.find("b"), nullptr) << c.name;
  }
}

TEST(ReadRequest, DamagedFilesAreRefusedWithoutOverReading) {
  TempDir dir;
  FakeEcb fake = FakeEcb::Get("a=1&VCEXE=prog&b=%B0%A1");
  const std::string good = ReadAll(WriteRequest(fake, dir));
  karvel::Request request;
  std::string error;
  ASSERT_TRUE(ParseExact(good, &request, &error)) << error;
  for (size_t size = 0; size < good.size(); ++size) {
    EXPECT_FALSE(ParseExact(good.substr(0, size), &request, &error)) << "cut to " << size << " bytes";
  }
  auto with = [&](size_t at, uint32_t value) {
    std::string bad = good;
    std::memcpy(&bad[at], &value, 4);
    return bad;
  };
  const size_t entry0 = 524, entry2 = 524 + 32;
  const struct {
    const char* name;
    std::string file, error;
  } cases[] = {
      {"answered", "9" + good.substr(1), "already answered"},
      {"method digit", "7" + good.substr(1), "method digit"},
      {"field count past the end", with(8, 0xFFFFFFFFu), "runs past the end"},
      {"name offset two past its record", with(entry0, NumberAt(good, entry0) + 2), "name offset"},
      {"value offset with the other base", with(entry0 + 8, NumberAt(good, entry0 + 8) - 1), "value offset"},
      {"name length zero", with(entry0 + 4, 0), "name record"},
      {"name record without its NUL", with(entry0 + 4, 3), "name record"},
      {"value length past the end", with(entry2 + 12, 0xFFFFFFFFu), "value record"},
      {"last value record without its zero", good.substr(0, good.size() - 1) + "x", "value record"},
      {"a byte after the last record", good + "x", "1 bytes after"},
  };
  for (const auto& c : cases) {
    error.clear();
    EXPECT_FALSE(ParseExact(c.file, &request, &error)) << c.name;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": error was " << error;
  }
  std::mt19937 random(7);
  for (int round = 0; round < 5000; ++round) {
    std::string bad = good;
    for (int k = 0; k < 3; ++k) bad[random() % bad.size()] = static_cast<char>(random());
    if (ParseExact(bad, &request, &error)) {
      for (const auto& field : request.fields) ASSERT_LE(field.value.size(), bad.size()) << "round " << round;
    }
  }
  EXPECT_FALSE(karvel::ReadRequest(dir.File("missing"), &request, &error));
  EXPECT_NE(error.find(dir.File("missing")), std::string::npos) << error;
}

// The answer goes into the exchange file itself: exactly the answer, the request's longer bytes
// cut away, the same file (no rename, no side file); a refused answer leaves the file as it was.
TEST(Answer, IsWrittenIntoTheExchangeFileWithExactlyTheAnswer) {
  TempDir dir;
  WriteAll(dir.File("data.bin"), "GIF89a");
  mkdir(dir.File("sub").c_str(), 0700);
  char* real = realpath(dir.File("data.bin").c_str(), nullptr);
  const std::string data = real;
  std::free(real);
  const std::string longUrl = "/" + std::string(8191, 'u');
  const std::string bigPage = "Content-Type: text/plain\r\n\r\n" + std::string(300000, 'b');
  using Write = std::function<bool(const std::string&)>;
  const struct {
    const char* name;
    Write write;
    std::string want;  // "" when the exchange file must stay as it was
  } cases[] = {
      {"page with NUL and no final newline",
       [](auto& p) { return karvel::AnswerPage(p, "Content-Type: text/plain\r\n\r\nA\0B"s); },
       "91  Content-Type: text/plain\r\n\r\nA\0B"s},
      {"empty page", [](auto& p) { return karvel::AnswerPage(p, ""); }, "91  "},
      {"page longer than the request", [&](auto& p) { return karvel::AnswerPage(p, bigPage); }, "91  " + bigPage},
      {"local URL", [](auto& p) { return karvel::AnswerUrl(p, "/static/a.html"); }, "92  /static/a.html"},
      {"redirect", [](auto& p) { return karvel::AnswerUrl(p, "http://example.invalid/?q=1"); },
       "92  http://example.invalid/?q=1"},
      {"8192-byte URL", [&](auto& p) { return karvel::AnswerUrl(p, longUrl); }, "92  " + longUrl},
      {"8193-byte URL", [&](auto& p) { return karvel::AnswerUrl(p, longUrl + "u"); }, ""},
      {"URL with CR LF", [](auto& p) { return karvel::AnswerUrl(p, "/a\r\nSet-Cookie: x"); }, ""},
      {"empty URL", [](auto& p) { return karvel::AnswerUrl(p, ""); }, ""},
      {"file", [&](auto& p) { return karvel::AnswerFile(p, data); }, "94  " + data},
      {"file named through ..", [&](auto& p) { return karvel::AnswerFile(p, dir.File("sub/../data.bin")); },
       "94  " + data},
      {"missing file", [&](auto& p) { return karvel::AnswerFile(p, dir.File("none")); }, ""},
      {"directory as file", [&](auto& p) { return karvel::AnswerFile(p, dir.File("sub")); }, ""},
  };
  const std::string request = "2 \0\0"s + std::string(20000, 'r');
  for (const auto& c : cases) {
    const std::string path = dir.File("VC1.tmp");
    WriteAll(path, request);
    chmod(path.c_str(), 0600);
    struct stat before, after;
    stat(path.c_str(), &before);
    EXPECT_EQ(c.write(path), !c.want.empty()) << c.name;
    EXPECT_EQ(ReadAll(path), c.want.empty() ? request : c.want) << c.name;
    EXPECT_FALSE(test_support::Exists(path + ".answer")) << c.name << ": a side file is left";
    ASSERT_EQ(stat(path.c_str(), &after), 0) << c.name;
    EXPECT_EQ(after.st_ino, before.st_ino) << c.name << ": the same file";
    EXPECT_EQ(after.st_mode & 0777, 0600u) << c.name;
    if (!c.want.empty()) {
      std::string error;
      EXPECT_FALSE(karvel::AnswerPage(path, "again", &error)) << c.name << ": a second answer";
      EXPECT_NE(error.find("answered already"), std::string::npos) << error;
      EXPECT_EQ(ReadAll(path), c.want) << c.name << ": the first answer stays whole";
    }
  }
}

// The server reads an answered file while nothing writes it any more: whoever sees the mark sees
// the whole answer, of any length, never the request's bytes or a part of the answer.
TEST(Answer, WhoeverSeesTheMarkSeesTheWholeAnswer) {
  TempDir dir;
  const std::string path = dir.File("VC3.tmp");
  const std::string page = "Content-Type: text/plain\r\n\r\n" + std::string(4 << 20, 'a');
  const std::string want = "91  " + page;
  for (int round = 0; round < 8; ++round) {
    WriteAll(path, "2 \0\0"s + std::string(6 << 20, 'r'));
    std::atomic<bool> answered{false}, done{false};
    std::thread writer([&] {
      answered = karvel::AnswerPage(path, page);
      done = true;
    });
    // Looks at the mark as often as it can while it writes (once it is done, one look more), and
    // reads the whole file, as the server does, as soon as the mark is there.
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::string seen;
    for (bool last = false; seen.empty() && !last;) {
      last = done;
      char mark = 0;
      if (pread(fd, &mark, 1, 0) != 1 || mark != '9') continue;
      struct stat info;
      ASSERT_EQ(fstat(fd, &info), 0);
      seen.resize(static_cast<size_t>(info.st_size));
      ASSERT_EQ(pread(fd, seen.data(), seen.size(), 0), static_cast<ssize_t>(seen.size()));
    }
    close(fd);
    writer.join();
    ASSERT_TRUE(answered) << "round " << round;
    ASSERT_EQ(seen.size(), want.size()) << "round " << round;
    EXPECT_TRUE(seen == want) << "round " << round << ": the answer seen with its mark is not whole";
  }
}

// The server looks at an exchange file under a read lease, dropped at once: an answer written in
// that moment waits the lease out rather than failing (the answer would be lost).
TEST(Answer, WaitsOutTheServersLookAtTheFile) {
  TempDir dir;
  const std::string path = dir.File("VC4.tmp");
  WriteAll(path, "2 \0\0request"s);
  // The lease's break is told with a signal nobody handles, as the server sets it.
  signal(SIGURG, SIG_IGN);
  const int look = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(look, 0);
  ASSERT_EQ(fcntl(look, F_SETSIG, SIGURG), 0);
  if (fcntl(look, F_SETLEASE, F_RDLCK) != 0) {
    close(look);
    GTEST_SKIP() << "no leases on this file system";
  }
  std::atomic<bool> answered{false};
  std::thread writer([&] { answered = karvel::AnswerPage(path, "x"); });
  usleep(50 * 1000);
  fcntl(look, F_SETLEASE, F_UNLCK);
  writer.join();
  close(look);
  EXPECT_TRUE(answered);
  EXPECT_EQ(ReadAll(path), "91  x");
}

// A link at the exchange file's name is not followed to what it names, and a file the server
// deleted is not made again.
TEST(Answer, NeitherFollowsALinkNorRevivesAFileTheServerDeleted) {
  TempDir dir;
  const std::string path = dir.File("VC2.tmp"), victim = dir.File("victim");
  WriteAll(victim, "2 \0\0keep"s);
  ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
  std::string error;
  EXPECT_FALSE(karvel::AnswerPage(path, "x", &error));
  EXPECT_EQ(ReadAll(victim), "2 \0\0keep"s);

  EXPECT_FALSE(karvel::AnswerPage(dir.File("gone"), "x", &error));
  EXPECT_NE(error.find("no exchange file"), std::string::npos) << error;
  EXPECT_FALSE(test_support::Exists(dir.File("gone")));
  EXPECT_FALSE(test_support::Exists(dir.File("gone.answer")));
}

}  // namespace

namespace {

// Serve answers the file it read through the descriptor it read it with: the answer lands in that
// file, a second one is refused, and a file the server removed meanwhile is answered into nothing
// the handler is told of (the request counts as unanswered).
TEST(Serve, AnswersTheFileItReadAndOnlyWhileTheServerKeepsIt) {
  static constexpr const char* kPage = "Content-Type: text/plain\r\n\r\npage";
  TempDir dir;
  using Handle = std::function<void(const std::string& path)>;
  const struct {
    const char* name;
    Handle handle;
    int status;         // Serve's
    std::string error;  // in what the handler's last answer call said; "" when it succeeded
    bool answered;      // the file holds the page
  } cases[] = {
      {"answered", [](auto&) {}, 0, "", true},
      {"answered twice", [](auto& p) { karvel::AnswerPage(p, kPage); }, 0, "answered already", true},
      {"removed before the answer", [](auto& p) { unlink(p.c_str()); }, 1, "no exchange file", false},
      {"replaced before the answer",
       [](auto& p) {
         unlink(p.c_str());
         WriteAll(p, "2 \0\0"s + std::string(600, 'r'));
       },
       1, "no exchange file", false},
  };
  for (const auto& c : cases) {
    FakeEcb fake = FakeEcb::Get("a=1");
    const std::string path = WriteRequest(fake, dir);
    std::string error = "not called";
    const karvel::Handler handler = [&](const karvel::Request& got, const std::string& exchangePath) {
      EXPECT_EQ(got.fieldCount, 1u) << c.name;
      c.handle(exchangePath);
      error.clear();
      karvel::AnswerPage(exchangePath, kPage, &error);
    };
    std::string program = "serve-test", file = path;
    char* argv[] = {program.data(), file.data(), nullptr};
    const int status = karvel::Serve(2, argv, handler);
    EXPECT_EQ(status, c.status) << c.name;
    EXPECT_EQ(error.empty(), c.error.empty()) << c.name << ": " << error;
    EXPECT_NE(error.find(c.error), std::string::npos) << c.name << ": " << error;
    const std::string now = test_support::Exists(path) ? ReadAll(path) : "";
    EXPECT_EQ(now == "91  "s + kPage, c.answered) << c.name << ": " << now.substr(0, 8);
    unlink(path.c_str());
  }
}

}  // namespace
