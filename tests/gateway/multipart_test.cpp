// Multipart bodies: values, uploads and the directories they are saved in, bodies sent by curl, and
// bodies cut short. Every case runs under several chunkings of the body.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "gateway/form_test_support.h"
#include "gateway/form_upload.h"
#include "jpcodec/jpcodec.h"
#include "support/files.h"

namespace gateway_test {
namespace {

using namespace std::string_literals;
using test_support::ReadAll;
using test_support::ScopedEnv;
using test_support::TempDir;
using Files = std::map<std::string, std::string>;

struct Part {
  std::string name;
  const char* filename;  // null: a value part
  std::string data;
};

// The body a browser sends for `parts`; `boundary` is the whole boundary line.
std::string Body(const std::vector<Part>& parts, const std::string& boundary = "--XyZ") {
  std::string body = boundary + "\r\n";
  for (const Part& p : parts) {
    body += "Content-Disposition: form-data; name=\"" + p.name + "\"";
    if (p.filename) body += "; filename=\""s + p.filename + "\"\r\nContent-Type: application/octet-stream";
    body += "\r\n\r\n" + p.data + "\r\n" + boundary + (&p == &parts.back() ? "--\r\n" : "\r\n");
  }
  return body;
}

std::string Describe(const Files& files) {
  std::string text;
  for (const auto& [name, data] : files) {
    text += Show(name) + ": " + std::to_string(data.size()) + " bytes, hash " +
            std::to_string(std::hash<std::string>()(data)) + ", " + Show(data, 40) + "\n";
  }
  return text;
}

struct Case {
  std::string name, body;
  bool listed;
  int32_t count;
  std::vector<Want> fields;
  Files files;  // what the request's upload directory must hold afterwards
};

// Reads every case under three chunkings and as a query string, each request with its own upload
// directory under a fresh temporary directory.
void RunCases(const std::vector<Case>& cases, const std::string& tmpSuffix = "") {
  TempDir root;
  const std::string tmp = root.path() + tmpSuffix;
  std::filesystem::create_directories(tmp);
  ScopedEnv env("TMPDIR", tmp.c_str());
  for (const Case& c : cases) {
    // Chunk 0: the same bytes as a GET's query string (when they hold no NUL). A chunked body
    // (length unknown, cbTotalBytes 0xFFFFFFFF) must be read without asking for gigabytes.
    struct Chunking { size_t chunk, preload; bool unknownLength; };
    const std::vector<Chunking> chunkings = {
        {1, 0, false}, {7, c.body.size() / 2, false}, {65536, 49152, false}, {65536, 49152, true}, {0, 0, false}};
    for (const auto& [chunk, preload, unknownLength] : chunkings) {
      if (chunk == 0 && c.body.find('\0') != std::string::npos) continue;
      const std::string label = c.name + ", chunk " + std::to_string(chunk) + ", preload " +
                                std::to_string(preload) + (unknownLength ? ", length unknown" : "") +
                                ", body " + Show(c.body, 160);
      FakeEcb fake = chunk ? FakeEcb::Post(c.body, chunk, preload) : FakeEcb::Get(c.body);
      if (unknownLength) {
        fake.Declare(0xFFFFFFFF);
        karvel_test::RefuseAllocationsAbove(64u << 20);
      }
      const std::set<std::string> before = Entries(tmp);
      const Outcome o = ReadForm(fake);
      karvel_test::RefuseAllocationsAbove(0);
      std::string dir;
      Files files;
      for (const std::string& entry : Entries(tmp)) {
        if (before.count(entry)) continue;
        EXPECT_EQ(dir, "") << label << ": a second new directory " << entry;
        dir = tmp + "/" + entry;
        struct stat info{};
        EXPECT_TRUE(IsUploadDirectory(tmp, dir) && stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
                    (info.st_mode & 0777) == 0700) << label << ": not a private upload directory: " << dir;
        for (const std::string& file : Entries(dir)) files[file] = ReadAll(dir + "/" + file);
      }
      ExpectRead(label, o, c.listed, c.count, c.fields, dir);
      EXPECT_EQ(Describe(files), Describe(c.files)) << label;
      if (c.listed && chunk > 0) {
        EXPECT_EQ(fake.served(), c.body.size()) << label;
        EXPECT_EQ(fake.ecb().cbAvailable, 0u) << label;
      }
    }
  }
}

const std::string kExample =
    "--XyZ\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nhello\r\n--XyZ\r\n"
    "Content-Disposition: form-data; name=\"f\"; filename=\"C:\\dir\\up.txt\"\r\n"
    "Content-Type: text/plain\r\n\r\nabc\r\n\r\n--XyZ--\r\n";

TEST(Multipart, PartsBecomeFields) {
  const std::string head = "--XyZ\r\nContent-Disposition: form-data; name=\"";
  RunCases({
      {"value and upload", kExample, true, 2, {{"a", "hello"}, {"f", "@up.txt", 0}}, {{"up.txt", "abc\r\n"}}},
      {"empty upload", Body({{"f", "e.txt", ""}}), true, 1, {{"f", "@e.txt"}}, {{"e.txt", ""}}},
      {"inner line end kept", Body({{"v", nullptr, "l1\r\nl2"}}), true, 1, {{"v", "l1\r\nl2", 1}}, {}},
      {"empty value", Body({{"e", nullptr, ""}}), true, 1, {{"e", ""}}, {}},
      {"boundary right behind the header", head + "e\"\r\n\r\n--XyZ--\r\n", true, 1, {{"e", "", 0}}, {}},
      {"no space after the semicolon", head + "f\";filename=\"x.txt\"\r\n\r\ndata\r\n--XyZ--\r\n", true, 1,
       {{"f", "data"}}, {}},
      {"part named C", Body({{"C", nullptr, "v"}}), true, 1, {{"C", "v"}}, {}},
      {"lower-case header", "--XyZ\r\ncontent-disposition: form-data; name=\"a\"\r\n\r\nv\r\n--XyZ--\r\n", true, 1,
       {{"content-disposition: form-data; name", "v"}}, {}},
      {"same names", Body({{"a", nullptr, "1"}, {"A", nullptr, "2"}}), true, 2, {{"a", "1", -1, 0}, {"A", "2", -1, 1}}, {}},
      {"bare file name", Body({{"f", "cat.gif", "GIF89a"}}), true, 1, {{"f", "@cat.gif"}}, {{"cat.gif", "GIF89a"}}},
      {"windows path", Body({{"f", "C:\\dir\\sub\\up.txt", "u"}}), true, 1, {{"f", "@up.txt"}}, {{"up.txt", "u"}}},
      {"long client path", Body({{"f", ("C:\\" + std::string(300, 'd') + "\\x.txt").c_str(), "x"}}), true, 1,
       {{"f", "@x.txt"}}, {{"x.txt", "x"}}},
      {"client name like a renamed one", Body({{"a", "cat(2).gif", "1"}, {"b", "cat.gif", "2"}, {"c", "cat.gif", "3"}}),
       true, 3, {{"a", "@cat(2).gif"}, {"b", "@cat.gif"}, {"c", "@cat(3).gif"}},
       {{"cat(2).gif", "1"}, {"cat.gif", "2"}, {"cat(3).gif", "3"}}},
      // UTF-8 is read as EUC-JP, here as in every value: the name is what the back-end will see.
      {"UTF-8 name", Body({{"f", "\xE7\x8C\xAB.gif", "n"}}), true, 1, {{"f", "@\xE2)\x86\x97" "eif", 1}},
       {{"\xE2)\x86\x97" "eif", "n"}}},
      {"parent references confined", Body({{"f", "../../etc/passwd", "p"}}), true, 1, {{"f", "@passwd"}},
       {{"passwd", "p"}}},
      {"refused names", Body({{"f", "..", "1\r\n2"}, {"f", ".", "3"}, {"f", "", "4"}, {"f", "a:b", "5"},
                              {"f", "x\x01y", "6"}, {"f", "C:\\dir\\", "7"}, {"f", "tab\there", "8"},
                              {"f", "del\x7F", "9"}, {"n", nullptr, "after"}}),
       true, 9, {{"f", ""}, {"f", "", -1, 1}, {"f", "", -1, 2}, {"f", "", -1, 3}, {"f", "", -1, 4},
                 {"f", "", -1, 5}, {"f", "", -1, 6}, {"f", "", -1, 7}, {"n", "after"}}, {}},
      {"repeated base names", Body({{"f", "cat.gif", "1"}, {"g", "C:\\a\\cat.gif", "2"}, {"h", "cat.gif", "3"},
                                    {"i", "noext", "4"}, {"j", "noext", "5"}, {"k", "a.b.c", "6"}, {"l", "a.b.c", "7"}}),
       true, 7, {{"f", "@cat.gif"}, {"g", "@cat(2).gif"}, {"h", "@cat(3).gif"}, {"i", "@noext"},
                 {"j", "@noext(2)"}, {"k", "@a.b.c"}, {"l", "@a.b(2).c"}},
       {{"cat.gif", "1"}, {"cat(2).gif", "2"}, {"cat(3).gif", "3"}, {"noext", "4"}, {"noext(2)", "5"},
        {"a.b.c", "6"}, {"a.b(2).c", "7"}}},
      {"lines shorter than the boundary are data",
       Body({{"v", nullptr, "x\r\n--Xy\r\n--X"}, {"f", "s.txt", "--X\r\n--Xy\n-"}}), true, 2,
       {{"v", "x\r\n--Xy\r\n--X"}, {"f", "@s.txt"}}, {{"s.txt", "--X\r\n--Xy\n-"}}},
      {"no boundary taken: data runs to the end", "Content-Type=\"n\"\r\n\r\ndata\r\n--x\r\nmore", true, 1,
       {{"n", "data\r\n--x\r\nmore"}}, {}},
      {"value cut by the end of the body", head + "a\"\r\n\r\nhel\r\nlo", true, 1, {{"a", "hel\r\nlo"}}, {}},
      {"header cut by the end of the body", head + "a\"\r\n\r\nv\r\n--XyZ\r\n" + head.substr(7) + "b\"\r\n", true, 2,
       {{"a", "v"}}, {}},
      {"150-byte boundary", Body({{"a", nullptr, "1"}, {"f", "b.txt", "2"}}, "--" + std::string(148, 'b')), true, 2,
       {{"a", "1"}, {"f", "@b.txt"}}, {{"b.txt", "2"}}},
      {"250-byte boundary", Body({{"a", nullptr, "1"}, {"f", "b.txt", "2"}}, "--" + std::string(248, 'b')), true, 2,
       {{"a", "1"}, {"f", "@b.txt"}}, {{"b.txt", "2"}}},
      {"250-byte boundary compared on 200 bytes",
       Body({{"v", nullptr, "1\r\n--" + std::string(197, 'b') + "zzz\r\n--" + std::string(198, 'b') + "zzz"},
             {"a", nullptr, "2"}}, "--" + std::string(248, 'b')),
       true, 2, {{"v", "1\r\n--" + std::string(197, 'b') + "zzz"}, {"a", "2"}}, {}},
      {"256-byte boundary line", Body({{"a", nullptr, "1"}}, "--" + std::string(254, 'b')), false, 0, {}, {}},
      {"upload with the boundary right behind the header", head + "f\"; filename=\"z\"\r\n\r\n--XyZ--\r\n", true, 1,
       {{"f", "@z"}}, {{"z", ""}}},
      // The byte behind a name's closing quote is never part of the header scan. A bare LF before
      // the boundary line is the delimiter's line end alone: the data before it stays whole.
      {"bare LF line ends", "--XyZ\nContent-Disposition: form-data; name=\"v\"\n\n\ndata\n--XyZ\nContent-Disposition: "
       "form-data; name=\"f\"; filename=\"l.txt\"\n\ndata\n--XyZ--\n", true, 2, {{"v", "data"}, {"f", "@l.txt"}},
       {{"l.txt", "data"}}},
      {"200-byte file name", Body({{"f", std::string(200, 'n').c_str(), "d"}}), true, 1,
       {{"f", "@" + std::string(200, 'n')}}, {{std::string(200, 'n'), "d"}}},
      {"path over 259 bytes", Body({{"f", std::string(230, 'n').c_str(), "d"}, {"n", nullptr, "after"}}), true, 2,
       {{"f", ""}, {"n", "after"}}, {}},
  });
}

// Bodies as other clients and test suites write them, beside what browsers and curl send.
TEST(Multipart, BodiesOfOtherClients) {
  const std::string head = "--XyZ\r\nContent-Disposition: form-data; name=\"";
  const std::string file = "\"; filename=\"t.txt\"\r\n\r\n";
  RunCases({
      // The body may end right after the closing delimiter: no line end follows it.
      {"closing delimiter last, value", head + "a\"\r\n\r\nv1\r\n--XyZ\r\n" + head.substr(7) + "b\"\r\n\r\nv2\r\n--XyZ--",
       true, 2, {{"a", "v1"}, {"b", "v2"}}, {}},
      {"closing delimiter last, upload", head + "f" + file + "data\r\n--XyZ--", true, 1, {{"f", "@t.txt"}},
       {{"t.txt", "data"}}},
      {"closing delimiter last, empty upload", head + "f" + file + "\r\n--XyZ--", true, 1, {{"f", "@t.txt"}},
       {{"t.txt", ""}}},
      {"closing delimiter last, bare LF", "--XyZ\nContent-Disposition: form-data; name=\"a\"\n\n\nv\n--XyZ--",
       true, 1, {{"a", "v"}}, {}},
      {"delimiter without its dashes last", head + "a\"\r\n\r\nv\r\n--XyZ", true, 1, {{"a", "v"}}, {}},
      // Padding behind the boundary line is no part of the boundary.
      {"transport padding", "--XyZ \t\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nv\r\n--XyZ--\r\n",
       true, 1, {{"a", "v"}}, {}},
      {"epilogue after the closing line", head + "a\"\r\n\r\nv\r\n--XyZ--\r\nthe end\r\n", true, 1, {{"a", "v"}}, {}},
      // Data that itself ends in a line end keeps it; only the delimiter's own line end goes.
      {"data ending in line ends, bare LF", "--XyZ\nContent-Disposition: form-data; name=\"a\"\n\n\nv\n\n--XyZ\n"
       "Content-Disposition: form-data; name=\"f\"; filename=\"t.txt\"\n\nw\n\n--XyZ--\n",
       true, 2, {{"a", "v\n"}, {"f", "@t.txt"}}, {{"t.txt", "w\n"}}},
      {"data ending in CR LF", Body({{"a", nullptr, "v\r\n"}, {"f", "t.txt", "w\r\n"}}), true, 2,
       {{"a", "v\r\n"}, {"f", "@t.txt"}}, {{"t.txt", "w\r\n"}}},
      {"lone CR before the boundary", head + "a\"\r\n\r\nv\r--XyZ--\r\n", true, 1, {{"a", "v"}}, {}},
      // A NUL in a file name would cut it short of what was sent: refused like control bytes.
      {"NUL in a file name", head + "f\"; filename=\"a" + std::string(1, '\0') +
       "b.txt\"\r\n\r\nx\r\n--XyZ--\r\n", true, 1, {{"f", ""}}, {}},
  });
}

// Fills the stack below the caller with `byte`, as earlier requests leave it.
__attribute__((noinline)) void PaintStack(char byte) {
  volatile char paint[65536];
  for (size_t k = 0; k < sizeof paint; ++k) paint[k] = byte;
}

// A JIS file name that ends inside a character: the converter gets the name and its NUL, never the
// bytes that happen to lie behind them on the stack, so the saved name depends on the name alone.
TEST(Multipart, UploadNamesHoldOnlyTheirOwnBytes) {
  TempDir tmp;
  ScopedEnv env("TMPDIR", tmp.path().c_str());
  std::set<std::string> saved;
  for (const char stale : {'X', 'Y', '%'}) {
    UploadDirectory directory{};
    CHAR path[MAX_PATH];
    HANDLE file = INVALID_HANDLE_VALUE;
    PaintStack(stale);
    ASSERT_EQ(OpenUploadFile(&directory, "\x1b$B$", 4, path, &file), kUploadOpened) << stale;
    CloseHandle(file);
    const std::string name = std::string(path).substr(std::string(path).rfind('/') + 1);
    EXPECT_EQ(name.find_first_of("XY%"), std::string::npos) << Show(name);
    EXPECT_LE(name.size(), 4u) << Show(name);
    saved.insert(name);
    std::filesystem::remove_all(std::string(path).substr(0, std::string(path).rfind('/')));
  }
  EXPECT_EQ(saved.size(), 1u) << "the same name saved under different names";
}

TEST(Multipart, UploadsKeepEveryByte) {
  std::mt19937 random(3);
  std::string noise(300000, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  const std::string ends = "\r\n\n\r\r\r\n\n\n\r";
  std::string run;  // 150 line-end bytes
  while (run.size() < 150) run += ends.substr(0, std::min(ends.size(), 150 - run.size()));
  std::string longLine(20000, 'L');
  for (size_t k = 0; k < longLine.size(); k += 97) longLine[k] = static_cast<char>(k % 251);
  const std::vector<std::pair<const char*, std::string>> payloads = {
      {"line-end mixes", "a\rb\nc\r\nd\n\re\r\r\n\n"},
      {"line ends at both ends", "\r\n\r\nmid\r\n\r\n"},
      {"LF first", "\nabc"},
      {"one line-end byte before the closing line", "x\n"},
      {"150 line-end bytes inside and at the end", "x" + run + "y" + run},
      {"NULs", "\0\0a\0\r\n\0"s},
      {"long line after a line end", "start\r\n" + longLine + "\r\n" + longLine},
      {"300 KB random", noise},
  };
  const std::string boundary = "--karvel-7f3a9";
  std::vector<Case> cases;
  for (const auto& [name, data] : payloads) {
    ASSERT_EQ(data.find("\n" + boundary), std::string::npos);
    ASSERT_EQ(data.find("\r" + boundary), std::string::npos);
    cases.push_back({name + " as an upload"s, Body({{"f", "p.bin", data}, {"after", nullptr, "ok"}}, boundary),
                     true, 2, {{"f", "@p.bin", 0}, {"after", "ok"}}, {{"p.bin", data}}});
    if (data.size() < 50000) {
      cases.push_back({name + " as a value"s, Body({{"v", nullptr, data}}, boundary), true, 1, {{"v", data, 1}}, {}});
    }
  }
  RunCases(cases);
}

TEST(Multipart, BodiesSentByCurl) {
  const char* root = std::getenv("KARVEL_TEST_DATA");
  const std::string data = std::string(root ? root : "tests") + "/gateway/data/";
  const std::string blob = ReadAll(data + "blob.bin");
  ASSERT_EQ(blob.size(), 6000u);
  RunCases({
      {"text fields", ReadAll(data + "text_fields.body"), true, 3,
       {{"name", "Yamada Taro"}, {"note", "line one\nline two", 1}, {"empty", ""}}, {}},
      {"binary file", ReadAll(data + "binary_file.body"), true, 2, {{"title", "blob"}, {"f", "@blob.bin", 0}},
       {{"blob.bin", blob}}},
      {"bare file name", ReadAll(data + "bare_name.body"), true, 1, {{"f", "@cat.gif"}}, {{"cat.gif", blob}}},
      {"windows path", ReadAll(data + "windows_path.body"), true, 1, {{"f", "@x.bin"}}, {{"x.bin", blob}}},
  });
}

TEST(Multipart, PathsLongerThanTheirHeaderText) {
  // Under a long temporary directory each path outgrows the whole body that named it.
  RunCases({{"two short names", Body({{"f", "x", "1"}, {"g", "y", ""}}), true, 2, {{"f", "@x"}, {"g", "@y"}},
             {{"x", "1"}, {"y", ""}}}},
           "/" + std::string(170, 'd'));
}

TEST(Multipart, UploadNamesAreSavedInShiftJis) {
  // The name's bytes as EUC-JP, JIS and Shift-JIS browsers send "メモ.txt": each file is saved
  // under the Shift-JIS name, which the value (converted like every value) then names.
  const std::string sjis = "\x83\x81\x83\x82.txt";
  RunCases({{"EUC-JP name", Body({{"f", "\xA5\xE1\xA5\xE2.txt", "e"}}), true, 1, {{"f", "@" + sjis}}, {{sjis, "e"}}},
            {"JIS name", Body({{"f", "\x1b$B%a%b\x1b(B.txt", "j"}}), true, 1, {{"f", "@" + sjis}}, {{sjis, "j"}}},
            {"Shift-JIS name", Body({{"f", "\x83\x81\x83\x82.txt", "s"}}), true, 1, {{"f", "@" + sjis}}, {{sjis, "s"}}},
            {"ASCII name", Body({{"f", "plain.txt", "a"}}), true, 1, {{"f", "@plain.txt"}}, {{"plain.txt", "a"}}},
            // 表 and 能 end in 0x5C: halves of characters, not separators; the folder ソ\ is one.
            {"Shift-JIS path, 0x5C second bytes", Body({{"f", "C:\\\x83\x5C\\\x95\x5C\x94\x5C.txt", "5c"}}), true, 1,
             {{"f", "@\x95\x5C\x94\x5C.txt"}}, {{"\x95\x5C\x94\x5C.txt", "5c"}}},
            {"lead byte before a real separator", Body({{"f", "dir\x81/x.txt", "l"}}), true, 1, {{"f", "@x.txt"}},
             {{"x.txt", "l"}}},
            // A `_charset_` field before the upload declares the name's encoding: no detection.
            {"UTF-8 declared", Body({{"_charset_", nullptr, "UTF-8"}, {"f", "C:\\\xE3\x83\xA1\xE3\x83\xA2.txt", "u"}}),
             true, 2, {{"_charset_", "UTF-8"}, {"f", "@" + sjis}}, {{sjis, "u"}}},
            {"UTF-8 declared, unmapped", Body({{"_charset_", nullptr, "utf-8"}, {"f", "\xF0\x9F\x98\x80\xC3\xA9", "m"}}),
             true, 2, {{"_charset_", "utf-8"}, {"f", "@&#128512;&#233;"}}, {{"&#128512;&#233;", "m"}}},
            {"Shift_JIS declared, half-width name", Body({{"_charset_", nullptr, "Shift_JIS"}, {"f", "\xB6\xBF.txt", "k"}}),
             true, 2, {{"_charset_", "Shift_JIS"}, {"f", "@\xB6\xBF.txt"}}, {{"\xB6\xBF.txt", "k"}}}});
  // The driver converts the path as it converts every value: the converted path must still name
  // the saved file, whatever the name was (UTF-8 converts twice before it settles).
  TempDir tmp;
  ScopedEnv env("TMPDIR", tmp.path().c_str());
  for (const char* name : {"\xA5\xE1\xA5\xE2.txt", "\x1b$B%a%b\x1b(B.txt", "\xE7\x8C\xAB.gif", "\xB0\xA1\xE4+.x"}) {
    FakeEcb fake = FakeEcb::Post(Body({{"f", name, "bytes"}}));
    const Outcome o = ReadForm(fake);
    ASSERT_EQ(o.fields.size(), 1u) << Show(name);
    std::string converted = o.fields[0].value;
    converted.push_back('\0');
    ConvertToSjis2(converted.data(), static_cast<unsigned long>(converted.size()));
    converted.resize(std::strlen(converted.c_str()));
    EXPECT_EQ(Show(converted), Show(o.fields[0].value)) << Show(name);
    EXPECT_EQ(ReadAll(converted), "bytes") << Show(name);
  }
}

TEST(Multipart, UploadDirectoriesAreNeverShared) {
  TempDir tmp;
  ScopedEnv env("TMPDIR", tmp.path().c_str());
  std::vector<std::string> paths;
  for (const char* data : {"first", "second"}) {
    FakeEcb fake = FakeEcb::Post(Body({{"f", "same.txt", data}}));
    const Outcome o = ReadForm(fake);
    ASSERT_EQ(o.fields.size(), 1u) << Describe(o);
    paths.push_back(o.fields[0].value);
  }
  EXPECT_NE(paths[0], paths[1]);
  EXPECT_EQ(ReadAll(paths[0]), "first");
  EXPECT_EQ(ReadAll(paths[1]), "second");
  EXPECT_EQ(Entries(tmp.path()).size(), 2u) << "one directory per request and nothing else";

  FakeEcb plain = FakeEcb::Post(Body({{"a", nullptr, "1"}}));
  ReadForm(plain);
  EXPECT_EQ(Entries(tmp.path()).size(), 2u) << "a request without uploads creates nothing";

  ScopedEnv noTmp("TMPDIR", nullptr);
  FakeEcb fake = FakeEcb::Post(Body({{"f", "t.txt", "t"}}));
  const Outcome o = ReadForm(fake);
  ASSERT_EQ(o.fields.size(), 1u) << Describe(o);
  const std::string dir = o.fields[0].value.substr(0, o.fields[0].value.rfind('/'));
  // /tmp is shared: the uploads go to the server user's own directory inside it.
  const std::string own = "/tmp/karvel-" + std::to_string(geteuid());
  EXPECT_TRUE(IsUploadDirectory(own, dir)) << "without TMPDIR: " << o.fields[0].value;
  EXPECT_EQ(ReadAll(o.fields[0].value), "t");
  if (IsUploadDirectory(own, dir)) std::filesystem::remove_all(dir);
}

// A body that ends where its length says keeps what came; one cut before its length (the client
// left: ReadClient fails, or gives nothing) is no form: no list, and the upload it cut is gone
// with its directory.
TEST(Multipart, CutBodiesAreRefusedAndTheirUploadGoes) {
  TempDir tmp;
  ScopedEnv env("TMPDIR", tmp.path().c_str());
  const std::string header = "--XyZ\r\nContent-Disposition: form-data; name=\"f\"; filename=\"t.bin\"\r\n\r\n";
  const std::string data = "line1\r\nline2\r\n\r\npartial";
  const std::string body = header + data;
  for (size_t cut = header.size(); cut < body.size(); ++cut) {
    for (int how = 0; how < 3; ++how) {  // ReadClient fails, ReadClient gives 0, the body simply ends
      FakeEcb fake = FakeEcb::Post(how == 2 ? body.substr(0, cut) : body, 7);
      if (how < 2) fake.EndAfter(cut, how == 0);
      const std::string label = "cut at " + std::to_string(cut) + ", way " + std::to_string(how);
      const Outcome o = ReadForm(fake);
      if (how < 2) {
        EXPECT_FALSE(o.listed) << label << ": " << Describe(o);
        EXPECT_EQ(Entries(tmp.path()).size(), 0u) << label << ": the cut upload and its directory stay";
        continue;
      }
      ASSERT_EQ(o.fields.size(), 1u) << label << ": " << Describe(o);
      EXPECT_EQ(o.count, 1) << label;
      const std::string saved = ReadAll(o.fields[0].value);
      const std::string received = body.substr(header.size(), cut - header.size());
      EXPECT_EQ(received.compare(0, saved.size(), saved), 0) << label << ": saved " << Show(saved);
      if (received.size() >= 14) {
        EXPECT_EQ(saved.compare(0, 12, "line1\r\nline2"), 0) << label << ": " << Show(saved);
      }
      std::filesystem::remove_all(o.fields[0].value.substr(0, o.fields[0].value.rfind('/')));
    }
  }
}

TEST(Multipart, AllocationFailuresMidwayReleaseEverything) {
  TempDir tmp;
  ScopedEnv env("TMPDIR", tmp.path().c_str());
  const size_t endOfA = kExample.find("\r\nContent-Disposition", 10);   // CR of the second boundary line
  const size_t endOfF = kExample.rfind("--XyZ--") + 7;                  // CR of the closing line
  for (size_t k = 0; k < kExample.size(); ++k) {
    FakeEcb fake = FakeEcb::Post(kExample, 1);
    fake.FailAllocationsAt(k, 1);
    const Outcome o = ReadForm(fake);
    const std::string label = "allocations fail from byte " + std::to_string(k) + ": " + Describe(o);
    // Records come from chunks taken now and then, not one per field: a read fails only when an
    // allocation falls after byte k, and then with the fields begun; nothing allocates after the end.
    EXPECT_EQ(o.problems, "") << label;
    if (k > endOfF) {
      EXPECT_TRUE(o.listed) << label;
    }
    EXPECT_TRUE(o.count == 2 || (o.count == 1 && k <= endOfA && !o.listed)) << label;
    if (o.listed) {
      EXPECT_EQ(o.fields.size(), 2u) << label;
    }
  }
}

}  // namespace
}  // namespace gateway_test
