// The extension as a server loads it: both builds export the two entry points, bind jpcodec at
// load time, and introduce themselves.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "isapi/httpext.h"

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

}  // namespace
