// The extension as a server loads it: both builds export the two entry points, bind jpcodec at
// load time, and introduce themselves.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "gateway/fake_ecb.h"
#include "isapi/httpext.h"
#include "support/files.h"

namespace {

TEST(Extension, BothBuildsLoadAndIntroduceThemselves) {
  for (const char* path : {VC_KARVEL2_PLAIN, VC_KARVEL2_DEBUG_COPY}) {
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << path << ": " << dlerror();
    using Version = BOOL (*)(HSE_VERSION_INFO*);
    auto version = reinterpret_cast<Version>(dlsym(module, "GetExtensionVersion"));
    ASSERT_NE(version, nullptr) << path;
    EXPECT_NE(dlsym(module, "HttpExtensionProc"), nullptr) << path;
    HSE_VERSION_INFO info;
    std::memset(&info, 0x55, sizeof info);
    EXPECT_TRUE(version(&info)) << path;
    EXPECT_EQ(info.dwExtensionVersion, 0x00020000u) << path;
    EXPECT_STREQ(info.lpszExtensionDesc, "VC_KARVEL2") << path;
    for (size_t k = std::strlen("VC_KARVEL2"); k < sizeof info.lpszExtensionDesc; ++k) {
      ASSERT_EQ(info.lpszExtensionDesc[k], '\0') << path << ": the rest of the field is NUL";
    }
    dlclose(module);
  }
}

using HttpExtension = DWORD (*)(EXTENSION_CONTROL_BLOCK*);

// One GET through the module at `path`: the back-end `prog` (in `backends`) answers "done".
DWORD RequestThrough(const char* path, gateway_test::FakeEcb* fake) {
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) return 0;
  auto proc = reinterpret_cast<HttpExtension>(dlsym(module, "HttpExtensionProc"));
  const DWORD status = proc ? proc(fake->Ecb()) : 0;
  dlclose(module);
  return status;
}

TEST(Extension, OnlyTheDebugCopyBuildLeavesACopyBesideTheProgram) {
  test_support::TempDir dir;
  const std::string backends = dir.File("backends");
  mkdir(backends.c_str(), 0700);
  test_support::WriteAll(backends + "/prog", "#!/bin/sh\nprintf '91  done' > \"$1.new\" && mv \"$1.new\" \"$1\"\n");
  chmod((backends + "/prog").c_str(), 0700);
  test_support::ScopedEnv backendDir("KARVEL_BACKEND_DIR", backends.c_str());
  test_support::ScopedEnv tmpdir("TMPDIR", dir.path().c_str());
  const std::string copy = backends + "/vcdebug.tmp";

  gateway_test::FakeEcb plain = gateway_test::FakeEcb::Get("VCEXE=prog&x=1");
  EXPECT_EQ(RequestThrough(VC_KARVEL2_PLAIN, &plain), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  ASSERT_EQ(plain.supportCalls().size(), 1u);
  EXPECT_EQ(plain.supportCalls()[0].header, "done");
  EXPECT_FALSE(test_support::Exists(copy));

  gateway_test::FakeEcb debug = gateway_test::FakeEcb::Get("VCEXE=prog&x=1");
  EXPECT_EQ(RequestThrough(VC_KARVEL2_DEBUG_COPY, &debug), static_cast<DWORD>(HSE_STATUS_SUCCESS));
  const std::string copied = test_support::ReadAll(copy);
  ASSERT_GE(copied.size(), 12u) << "the finished request, as the back-end program got it";
  EXPECT_EQ(copied.substr(0, 2), "2 ");
  EXPECT_EQ(copied[8], 2) << "two fields";
}

}  // namespace
