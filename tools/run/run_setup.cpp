#include "tools/run/run_setup.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "isapi/karvel_host.h"
#include "tools/run/reply_sniff.h"

namespace {

bool IsFile(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool IsDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

// The loader on PATH, "" where there is none.
std::string FindOnPath(const char* name) {
  const char* path = std::getenv("PATH");
  std::string list = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= list.size();) {
    const size_t end = list.find(':', at) == std::string::npos ? list.size() : list.find(':', at);
    const std::string candidate = (end > at ? list.substr(at, end - at) : ".") + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0 && IsFile(candidate)) return candidate;
    at = end + 1;
  }
  return "";
}

bool ChooseWine(const RunOptions& options, WineRun* wine, std::string* error) {
  if (!options.bWine) return true;
  wine->loader = FindOnPath("wine");
  if (wine->loader.empty()) {
    *error = "--wine: Wine is not installed here (no wine on PATH)";
    return false;
  }
  const char* prefix = std::getenv("WINEPREFIX");
  const char* home = std::getenv("HOME");
  wine->prefix = !options.winePrefix.empty() ? options.winePrefix
                 : prefix != nullptr && prefix[0] != '\0' ? prefix
                 : home != nullptr ? std::string(home) + "/.wine" : "";
  if (wine->prefix.empty() || wine->prefix[0] != '/') {
    *error = "--wine: no Wine prefix (give --wine-prefix DIR, an absolute path)";
    return false;
  }
  return true;
}

// A random boundary seed: no two runs send the same, as browsers do.
std::string BoundarySeed() {
  std::random_device source;
  char text[32];
  std::snprintf(text, sizeof text, "%08x%08x", source(), source());
  return std::string("----karvel-run-") + text;
}

bool MakeTempDir(const RunOptions& options, RunSetup* setup, std::string* error) {
  if (!options.tempDir.empty()) {
    setup->tempDir = RealPath(options.tempDir);
    if (setup->tempDir.empty() || !IsDirectory(setup->tempDir)) {
      *error = "--temp-dir " + options.tempDir + " is no directory";
      return false;
    }
    return true;
  }
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/karvel-run-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    *error = "cannot make a temporary directory in " + DirectoryOf(pattern);
    return false;
  }
  setup->tempDir = pattern;
  setup->bOwnTempDir = true;
  return true;
}

void AddSettings(const RunOptions& options, const RunSetup& setup, const std::string& backendDir, ToolRequest* request) {
  auto& variables = request->variables;
  variables.emplace_back(KARVEL_SETTING_BACKEND_DIR, backendDir);
  variables.emplace_back(KARVEL_SETTING_TEMP_DIR, setup.tempDir);
  if (!options.timeout.empty()) variables.emplace_back(KARVEL_SETTING_BACKEND_TIMEOUT, options.timeout);
  if (!setup.debugCopyDir.empty()) variables.emplace_back(KARVEL_SETTING_DEBUG_COPY_DIR, setup.debugCopyDir);
  if (!setup.uploadDir.empty()) variables.emplace_back(KARVEL_SETTING_UPLOAD_DIR, setup.uploadDir);
  if (options.bWine) variables.emplace_back(KARVEL_SETTING_WINE_PREFIX, request->wine.prefix);
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

void RemoveTree(const std::string& path) {
  if (!path.empty()) nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

std::string FindExtension(const std::string& given, const std::string& toolPath, bool debugCopy) {
  const std::string variant = debugCopy ? "/debug-copy/VC_KARVEL2.so" : "/VC_KARVEL2.so";
  if (!given.empty()) {
    const std::string path = debugCopy ? DirectoryOf(given) + variant : given;
    return IsFile(path) ? path : "";
  }
  // A build tree: the tool in bin/, the extension in lib/. Installed, no lib/ lies beside bin/
  // with the extension in it, and the installed path is the one.
  const std::string beside = DirectoryOf(DirectoryOf(toolPath)) + "/lib" + variant;
  if (!toolPath.empty() && IsFile(beside)) return beside;
  const std::string installed = std::string(KARVEL_RUN_INSTALLED_LIB_DIR) + variant;
  return IsFile(installed) ? installed : "";
}

bool PrepareRun(const RunOptions& options, const char* argv0, RunSetup* setup, ToolRequest* request, std::string* error) {
  const std::string backendDir = RealPath(DirectoryOf(options.program));
  if (backendDir.empty() || !IsDirectory(backendDir)) {
    *error = "no directory " + DirectoryOf(options.program) + " for " + options.program;
    return false;
  }
  // The tool's own file, links resolved: a link to a build tree's karvel-run finds that tree's extension.
  std::string toolPath = RealPath("/proc/self/exe");
  if (toolPath.empty()) toolPath = RealPath(argv0);
  const bool debugCopy = options.bKeep || !options.debugCopyDir.empty();
  setup->extension = FindExtension(options.extension, toolPath, debugCopy);
  if (setup->extension.empty()) {
    *error = std::string("no ") + (debugCopy ? "debug-copy " : "") + "VC_KARVEL2.so found" +
             (options.extension.empty() ? " (give --extension PATH)" : " for --extension " + options.extension);
    return false;
  }
  if (!ChooseWine(options, &request->wine, error) || !MakeTempDir(options, setup, error)) return false;
  if (!options.debugCopyDir.empty()) {
    setup->debugCopyDir = RealPath(options.debugCopyDir);
    if (setup->debugCopyDir.empty() || !IsDirectory(setup->debugCopyDir)) {
      *error = "--debug-copy-dir " + options.debugCopyDir + " is no directory";
      return false;
    }
  } else if (options.bKeep) {
    setup->debugCopyDir = setup->tempDir;
  }
  if (!options.uploadDir.empty()) {
    setup->uploadDir = RealPath(options.uploadDir);
    if (setup->uploadDir.empty() || !IsDirectory(setup->uploadDir)) {
      *error = "--upload-dir " + options.uploadDir + " is no directory";
      return false;
    }
  }
  // The program finds its uploads as under the server: named in its environment where they lie
  // apart, and nothing named (whatever the caller's environment held) where they do not.
  if (setup->uploadDir.empty()) {
    unsetenv(KARVEL_SETTING_UPLOAD_DIR);
  } else {
    setenv(KARVEL_SETTING_UPLOAD_DIR, setup->uploadDir.c_str(), 1);
  }
  const std::string name = options.program.substr(options.program.find_last_of('/') + 1);
  if (!BuildForm(options, name, BoundarySeed(), &request->form, error)) return false;
  request->reply.sniff = SniffReplyType;
  AddRequestVariables(options.remoteAddr, options.remoteUser, request);
  AddSettings(options, *setup, backendDir, request);
  return true;
}

int ShowOutcome(const RunOptions& options, const ToolRequest& request, DWORD result) {
  for (const std::string& warning : request.warnings) std::fprintf(stderr, "karvel-run: warning: %s\n", warning.c_str());
  if (!request.program.refusal.empty()) {
    std::fprintf(stderr, "karvel-run: the program was not started: %s\n", request.program.refusal.c_str());
  }
  ToolReply reply = request.reply;
  const bool failed = result != HSE_STATUS_SUCCESS && result != HSE_STATUS_SUCCESS_AND_KEEP_CONN;
  if (reply.state == kToolReplyLocalUrl) {
    std::fprintf(stderr, "karvel-run: the answer is the server's own URL %s: the server would serve it\n",
                 reply.location.c_str());
    return 0;
  }
  std::string problem;
  if (reply.state == kToolReplyBroken) {
    problem = "the reply's header is unusable: the server answers 500";
  } else if (reply.state == kToolReplyNothing && failed && !request.bFailureTold) {
    reply.state = kToolReplyBroken;
    problem = "the extension answered " + std::to_string(result) + " without a reply: the server answers 500";
  }
  const std::string shown = FormatReply(reply, options.bBodyOnly);
  std::fwrite(shown.data(), 1, shown.size(), stdout);
  std::fflush(stdout);
  if (request.bFailureTold) {
    std::fprintf(stderr, "karvel-run: %s: %s\n", request.failureText.c_str(), request.failureReason.c_str());
    return 1;
  }
  if (!problem.empty()) {
    std::fprintf(stderr, "karvel-run: %s\n", problem.c_str());
    return 1;
  }
  return 0;
}

void EndRun(const RunOptions& options, RunSetup* setup, const ToolRequest& request) {
  const std::string& uploads = request.program.uploadDirectory;
  if (options.bKeep) {
    for (const char* name : {"vcdebug.tmp", "vbdebug.tmp"}) {
      const std::string copy = setup->debugCopyDir + "/" + name;
      if (IsFile(copy)) std::fprintf(stderr, "karvel-run: kept the exchange file %s\n", copy.c_str());
    }
    if (!uploads.empty() && IsDirectory(uploads)) std::fprintf(stderr, "karvel-run: kept the uploads in %s\n", uploads.c_str());
    return;
  }
  // The uploads first: apart from the temporary directory (--upload-dir), removing that misses them.
  RemoveTree(uploads);
  if (setup->bOwnTempDir) RemoveTree(setup->tempDir);
}
