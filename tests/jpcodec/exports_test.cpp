// The shared library as a caller loads it: the one export, by its C++ name, converting text.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(SharedLibrary, ExportsConvertToSjis2ByItsCppName) {
  void* library = dlopen(JPCODEC_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  using Convert = unsigned long (*)(char*, unsigned long);
  auto convert = reinterpret_cast<Convert>(dlsym(library, "_Z14ConvertToSjis2Pcm"));
  ASSERT_NE(convert, nullptr) << "ConvertToSjis2(char*, unsigned long) not exported";
  char text[] = "\xB0\xA1";
  EXPECT_EQ(convert(text, sizeof text), 2ul);
  EXPECT_EQ(std::memcmp(text, "\x88\x9F", 3), 0);
  EXPECT_EQ(dlsym(library, "_ZN7jpcodec10DetectCodeEPKhi"), nullptr) << "internals must stay hidden";
  dlclose(library);
}

}  // namespace
