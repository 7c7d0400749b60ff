// The three DLLs as Windows programs use them: an ISAPI host that loads VC_KARVEL2.dll by name
// and drives it with its own EXTENSION_CONTROL_BLOCK against a back-end .exe, a caller of
// EMITSTATUS.dll's EmitStatus, and a caller of jpcodec.dll's decorated export.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "gateway/fake_ecb.h"
#include "isapi/httpext.h"
#include "support/files.h"

namespace {

using gateway_test::FakeEcb;
using test_support::Exists;
using test_support::ReadAll;
using test_support::WriteAll;

std::string ModuleDirectory() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string directory(path, length);
  return directory.substr(0, directory.find_last_of("\\/"));
}

// Where the build put the DLLs, seen from this program.
std::string Built(const std::string& name) { return ModuleDirectory() + "\\" KARVEL_DLL_DIRECTORY "\\" + name; }

void CopyInto(const std::string& directory, const std::string& from, const std::string& name) {
  ASSERT_TRUE(CopyFileA(from.c_str(), (directory + "\\" + name).c_str(), FALSE)) << from << " -> " << directory;
}

// Loads `name` the way a server loads its extension: by name, from the current directory.
HMODULE LoadFrom(const std::string& directory, const char* name) {
  char before[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, before);
  SetCurrentDirectoryA(directory.c_str());
  HMODULE module = LoadLibraryA(name);
  SetCurrentDirectoryA(before);
  return module;
}

// GetProcAddress's result as the function type it has.
template <typename Function>
Function ProcAddress(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

using GetExtensionVersionFunction = BOOL(WINAPI*)(HSE_VERSION_INFO*);
using HttpExtensionProcFunction = DWORD(WINAPI*)(EXTENSION_CONTROL_BLOCK*);

// A site: a directory holding the extension, jpcodec.dll (unless left out) and the back-end
// answer.exe (which answers by the form); removed at the end.
class Site {
 public:
  explicit Site(const std::string& directory, const std::string& extension = Built("VC_KARVEL2.dll"),
                bool withJpcodec = true)
      : directory_(directory) {
    std::filesystem::create_directories(directory_);
    CopyInto(directory_, extension, "VC_KARVEL2.dll");
    if (withJpcodec) CopyInto(directory_, Built("jpcodec.dll"), "jpcodec.dll");
    CopyInto(directory_, ModuleDirectory() + "\\" KARVEL_SCRIPTED_BACKEND, "answer.exe");
  }
  ~Site() {
    if (module_ != nullptr) FreeLibrary(module_);
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  // LoadLibraryA("VC_KARVEL2.dll") and GetExtensionVersion; false when the DLL does not load.
  bool Load() {
    module_ = LoadFrom(directory_, "VC_KARVEL2.dll");
    if (module_ == nullptr) return false;
    auto version = ProcAddress<GetExtensionVersionFunction>(module_, "GetExtensionVersion");
    proc_ = ProcAddress<HttpExtensionProcFunction>(module_, "HttpExtensionProc");
    EXPECT_NE(version, nullptr);
    EXPECT_NE(proc_, nullptr);
    if (version == nullptr || proc_ == nullptr) return false;
    HSE_VERSION_INFO info;
    std::memset(&info, 0x55, sizeof info);
    EXPECT_TRUE(version(&info));
    EXPECT_EQ(info.dwExtensionVersion, 0x00020000u);
    EXPECT_STREQ(info.lpszExtensionDesc, "VC_KARVEL2");
    return true;
  }
  DWORD Call(FakeEcb& fake) { return proc_(fake.Ecb()); }
  const std::string& directory() const { return directory_; }

 private:
  std::string directory_;
  HMODULE module_ = nullptr;
  HttpExtensionProcFunction proc_ = nullptr;
};

std::string Unique(const std::string& base) { return base + std::to_string(GetCurrentProcessId()); }

TEST(IsapiHost, WithoutJpcodecBesideItTheExtensionDoesNotLoad) {
  ASSERT_EQ(GetModuleHandleA("jpcodec.dll"), nullptr) << "loaded already: the loader would bind to it";
  Site site(Unique("C:\\karvel-nojpcodec-"), Built("VC_KARVEL2.dll"), false);
  EXPECT_FALSE(site.Load());
  Site complete(Unique("C:\\karvel-complete-"));
  EXPECT_TRUE(complete.Load()) << "the same DLL with jpcodec.dll beside it";
}

TEST(IsapiHost, GetAnsweredWithAPageAndAUrl) {
  Site site(Unique("C:\\karvel-site-"));
  ASSERT_TRUE(site.Load());
  // EUC-JP B0 A1 reaches the back-end as Shift-JIS 88 9F: jpcodec.dll was called through its import.
  FakeEcb page = FakeEcb::Get("ANSWER=page&VCEXE=answer.exe&name=%B0%A1");
  page.Variable("REMOTE_ADDR", "192.0.2.1");
  EXPECT_EQ(site.Call(page), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  ASSERT_EQ(page.supportCalls().size(), 1u);
  EXPECT_EQ(page.supportCalls()[0].request, static_cast<DWORD>(HSE_REQ_SEND_RESPONSE_HEADER));
  EXPECT_EQ(page.supportCalls()[0].buffer, "200 Ok");
  EXPECT_EQ(page.supportCalls()[0].header,
            "Content-Type: text/plain\r\n\r\nANSWER=page\nVCEXE=answer.exe\nname=\x88\x9F\n");
  EXPECT_EQ(page.ecb().dwHttpStatusCode, 200u);

  FakeEcb url = FakeEcb::Get("ANSWER=url&URL=%2Fdone.html&VBEXE=answer.exe");
  EXPECT_EQ(site.Call(url), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  ASSERT_EQ(url.supportCalls().size(), 1u);
  EXPECT_EQ(url.supportCalls()[0].request, static_cast<DWORD>(HSE_REQ_SEND_URL));
  EXPECT_EQ(url.supportCalls()[0].buffer, "/done.html");

  FakeEcb missing = FakeEcb::Get("VCEXE=nothere.exe");
  EXPECT_EQ(site.Call(missing), static_cast<DWORD>(HSE_STATUS_ERROR));
  ASSERT_EQ(missing.supportCalls().size(), 1u);
  EXPECT_NE(missing.supportCalls()[0].header.find("EXE Load Error(Exe Load Error)"), std::string::npos);
}

std::string MultipartBody(const std::string& answer, const std::string& upload) {
  return "--XyZ\r\nContent-Disposition: form-data; name=\"VCEXE\"\r\n\r\nanswer.exe\r\n"
         "--XyZ\r\nContent-Disposition: form-data; name=\"ANSWER\"\r\n\r\n" + answer + "\r\n"
         "--XyZ\r\nContent-Disposition: form-data; name=\"upload\"; filename=\"C:\\\\pics\\\\photo.gif\"\r\n"
         "Content-Type: image/gif\r\n\r\n" + upload + "\r\n--XyZ--\r\n";
}

TEST(IsapiHost, MultipartPostUploadsAFileAndGetsItBack) {
  using namespace std::string_literals;
  Site site(Unique("C:\\karvel-post-"));
  ASSERT_TRUE(site.Load());
  std::string upload = "GIF89a\0\x01\x02\r\n\x1a\xff"s;
  for (int k = 0; k < 70000; ++k) upload += static_cast<char>(k * 7);  // past one 64 KiB ReadClient

  // Page answer: the upload's field holds the path of the saved file, which holds the bytes.
  FakeEcb page = FakeEcb::Post(MultipartBody("page", upload), 65536, 1000);
  EXPECT_EQ(site.Call(page), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  ASSERT_EQ(page.supportCalls().size(), 1u);
  const std::string& text = page.supportCalls()[0].header;
  const size_t at = text.find("upload=");
  ASSERT_NE(at, std::string::npos) << text;
  const std::string saved = text.substr(at + 7, text.find('\n', at) - at - 7);
  EXPECT_EQ(saved.substr(saved.size() - 10), "\\photo.gif") << saved;
  EXPECT_EQ(ReadAll(saved), upload);

  // File answer: the uploaded bytes come back through WriteClient, exactly.
  FakeEcb file = FakeEcb::Post(MultipartBody("file", upload), 4096);
  EXPECT_EQ(site.Call(file), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  EXPECT_TRUE(file.supportCalls().empty());
  EXPECT_EQ(file.written().size(), upload.size());
  EXPECT_TRUE(file.written() == upload) << "the file's bytes differ";
}

TEST(IsapiHost, BackendUnderProgramFilesStartsTheRightProgram) {
  // Unquoted, "C:\Program Files\Karvel Test N\answer.exe <file>" would start C:\Program.exe.
  const std::string decoys[] = {"C:\\Program", "C:\\Program Files\\Karvel"};
  for (const std::string& decoy : decoys) {
    CopyInto("C:\\", ModuleDirectory() + "\\" KARVEL_SCRIPTED_BACKEND, decoy.substr(3) + ".exe");
    WriteAll(decoy + ".txt", "decoy\n");
  }
  {
    Site site(Unique("C:\\Program Files\\Karvel Test "));
    ASSERT_TRUE(site.Load());
    FakeEcb page = FakeEcb::Get("ANSWER=page&VCEXE=" + site.directory() + "\\answer.exe");
    EXPECT_EQ(site.Call(page), static_cast<DWORD>(HSE_STATUS_SUCCESS));
    ASSERT_EQ(page.supportCalls().size(), 1u);
    EXPECT_EQ(page.supportCalls()[0].header.rfind("Content-Type: text/plain\r\n\r\nANSWER=page\n", 0), 0u)
        << page.supportCalls()[0].header;
  }
  for (const std::string& decoy : decoys) {
    EXPECT_FALSE(Exists(decoy + ".ran")) << decoy << ".exe was started";
    for (const char* ending : {".exe", ".txt", ".ran"}) DeleteFileA((decoy + ending).c_str());
  }
}

TEST(IsapiHost, DebugCopyBuildLeavesTheExchangeFileBesideTheBackend) {
  Site site(Unique("C:\\karvel-debug-"), Built("debug-copy\\VC_KARVEL2.dll"));
  ASSERT_TRUE(site.Load());
  FakeEcb page = FakeEcb::Get("ANSWER=page&VCEXE=answer.exe&x=1");
  EXPECT_EQ(site.Call(page), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  const std::string copy = ReadAll(site.directory() + "\\vcdebug.tmp");
  ASSERT_GE(copy.size(), 524u) << "no debug copy";
  EXPECT_EQ(copy[0], '2') << "the request side of a GET";
}

TEST(EmitStatusCaller, LoadsByNameAndExpandsIntoTheWindowsDirectory) {
  const std::string directory = Unique("C:\\karvel-status-");
  std::filesystem::create_directories(directory);
  CopyInto(directory, Built("EMITSTATUS.dll"), "EMITSTATUS.dll");
  WriteAll(directory + "\\VB_KARVEL.MIF", "Date @1\r\nFirst @2 @3\r\nSecond @4 @5\r\n");
  HMODULE module = LoadFrom(directory, "EMITSTATUS.dll");
  ASSERT_NE(module, nullptr);
  using EmitStatusFunction = LONG(WINAPI*)(LONG, LONG, LPCSTR);
  auto emit = ProcAddress<EmitStatusFunction>(module, "EmitStatus");
  ASSERT_NE(emit, nullptr);

  const std::string name = Unique("CALLER");
  SYSTEMTIME before, after;
  GetLocalTime(&before);
  EXPECT_EQ(emit(1, 2, (directory + "\\," + name + ",abc,hello world").c_str()), 0);
  GetLocalTime(&after);
  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, MAX_PATH);
  const std::string status = std::string(windows) + "\\" + name + "_VB_KARVEL.MIF";
  char date[2][16];
  wsprintfA(date[0], "%02d/%02d/%02d", before.wMonth, before.wDay, before.wYear % 100);
  wsprintfA(date[1], "%02d/%02d/%02d", after.wMonth, after.wDay, after.wYear % 100);
  const std::string got = ReadAll(status);
  EXPECT_TRUE(got == std::string("Date ") + date[0] + "\r\nFirst 3 abc\r\nSecond 11 hello world\r\n" ||
              got == std::string("Date ") + date[1] + "\r\nFirst 3 abc\r\nSecond 11 hello world\r\n")
      << got;
  DeleteFileA(status.c_str());
  FreeLibrary(module);
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
}

TEST(JpcodecCaller, ConvertsThroughTheDecoratedExport) {
  const std::string directory = Unique("C:\\karvel-jpcodec-");
  std::filesystem::create_directories(directory);
  CopyInto(directory, Built("jpcodec.dll"), "jpcodec.dll");
  HMODULE module = LoadFrom(directory, "jpcodec.dll");
  ASSERT_NE(module, nullptr);
  using ConvertFunction = unsigned long (*)(char*, unsigned long);
  auto convert = ProcAddress<ConvertFunction>(module, KARVEL_JPCODEC_EXPORT);
  ASSERT_NE(convert, nullptr);
  EXPECT_EQ(GetProcAddress(module, "_Z14ConvertToSjis2Pcm"), nullptr) << "GCC's name must stay inside";
  const struct {
    std::string in, out;
    unsigned long result;
  } cases[] = {
      {std::string("\xB0\xA1", 3), std::string("\x88\x9F", 3), 2},             // EUC-JP
      {std::string("\x1B$B0!\x1B(B", 9), std::string("\x88\x9F", 3), 2},     // JIS
      {std::string("plain", 6), std::string("plain", 6), 6},                   // unchanged: len
  };
  for (const auto& c : cases) {
    std::string buffer = c.in;
    EXPECT_EQ(convert(buffer.data(), static_cast<unsigned long>(buffer.size())), c.result);
    EXPECT_EQ(buffer.substr(0, c.out.size()), c.out);
  }
  FreeLibrary(module);
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
}

}  // namespace
