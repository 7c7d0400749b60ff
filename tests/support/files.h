// Test helpers: a private directory per test, scoped environment edits, whole-file reads and writes.
#ifndef KARVEL_TESTS_SUPPORT_FILES_H
#define KARVEL_TESTS_SUPPORT_FILES_H

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>

namespace test_support {

// The environment variable that names the temporary directory GetTempPathA gives.
#ifdef _WIN32
inline constexpr const char* kTempVariable = "TMP";
#else
inline constexpr const char* kTempVariable = "TMPDIR";
#endif

// A fresh directory in the system's temporary directory (/tmp on POSIX), removed with everything
// in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
#ifndef _WIN32
    base = "/tmp";  // not $TMPDIR: tests point that at their own directories
#endif
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      const std::filesystem::path candidate = base / ("karvel-platform-" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate, error)) path_ = candidate.string();
    }
    EXPECT_FALSE(path_.empty()) << "no temporary directory could be made";
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
    Set(name, value);
  }
  ~ScopedEnv() { Set(name_.c_str(), old_ ? old_->c_str() : nullptr); }

 private:
  static void Set(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value ? value : "");  // the C runtime's copy and the process's, both
#else
    value ? setenv(name, value, 1) : unsetenv(name);
#endif
  }

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

// Size of the file at `path` (0 for anything but a regular file), -1 when there is none.
inline long long SizeOf(const std::string& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::symlink_status(path, error);
  if (error || !std::filesystem::exists(status)) return -1;
  if (!std::filesystem::is_regular_file(status)) return 0;
  return static_cast<long long>(std::filesystem::file_size(path, error));
}

inline bool Exists(const std::string& path) { return SizeOf(path) >= 0; }

// Sends standard error to a file until Text() or the end of the scope; Text() gives what came.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string& path) : path_(path) {
    std::fflush(stderr);
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    saved_ = dup(STDERR_FILENO);
    dup2(file, STDERR_FILENO);
    close(file);
  }
  ~StderrCapture() { Restore(); }
  std::string Text() {
    Restore();
    return ReadAll(path_);
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

}  // namespace test_support

#endif  // KARVEL_TESTS_SUPPORT_FILES_H
