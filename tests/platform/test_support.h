// Shared helpers of the platform tests: a private directory per test and scoped environment edits.
#ifndef KARVEL_TESTS_PLATFORM_TEST_SUPPORT_H
#define KARVEL_TESTS_PLATFORM_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

namespace platform_test {

// A fresh directory under /tmp, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/karvel-platform-XXXXXX";
    EXPECT_NE(nullptr, mkdtemp(pattern)) << "mkdtemp failed";
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or with nullptr unsets) an environment variable until the end of the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Size of the file at `path`, -1 when there is none.
inline long long SizeOf(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

inline bool Exists(const std::string& path) { return SizeOf(path) >= 0; }

}  // namespace platform_test

#endif  // KARVEL_TESTS_PLATFORM_TEST_SUPPORT_H
