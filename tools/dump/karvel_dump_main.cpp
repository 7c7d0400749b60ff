// karvel-dump [--hex] [--json] FILE...: shows exchange files in words (or as JSON for tools).
// Uploads are looked up beside each file, or in KARVEL_UPLOAD_DIR where it is set (a site's
// KarvelUploadDir). Exit 0 when every file was shown, 1 when any was not (the others still are), 2 for bad usage.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/dump/dump_file.h"
#include "tools/dump/dump_output.h"
#include "tools/dump/exchange_dump.h"

namespace {

constexpr const char* kUsage = "usage: karvel-dump [--hex] [--json] FILE...\n";

// Shows one file; false when it is no exchange file or cannot be read.
bool ShowFile(const std::string& path, bool withHex, bool asJson, std::string* shown) {
  std::string bytes, reason;
  DumpedExchange dump;
  const bool read = ReadWholeFile(path, &bytes, &reason);
  if (read && ReadExchange(bytes, &dump, &reason)) {
    *shown = asJson ? DumpAsJson(path, dump) : DumpInWords(path, dump, withHex);
    return true;
  }
  std::fprintf(stderr, "karvel-dump: %s: %s%s\n", path.c_str(), read ? "not an exchange file: " : "", reason.c_str());
  *shown = asJson ? FailureAsJson(path, read ? "not an exchange file: " + reason : reason) : "";
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  bool withHex = false, asJson = false, optionsEnded = false;
  std::vector<std::string> files;
  for (int k = 1; k < argc; ++k) {
    const std::string argument = argv[k];
    if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
      files.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--hex") {
      withHex = true;
    } else if (argument == "--json") {
      asJson = true;
    } else if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "karvel-dump: unknown option %s\n%s", argument.c_str(), kUsage);
      return 2;
    }
  }
  if (files.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  bool allShown = true;
  const bool asArray = asJson && files.size() > 1;
  if (asArray) std::fputs("[", stdout);
  for (size_t k = 0; k < files.size(); ++k) {
    std::string shown;
    allShown = ShowFile(files[k], withHex, asJson, &shown) && allShown;
    if (asJson) {
      std::fputs(asArray && k > 0 ? ",\n" : "", stdout);
      std::fputs(shown.c_str(), stdout);
    } else {
      std::fputs(shown.c_str(), stdout);
    }
  }
  if (asArray) std::fputs("]", stdout);
  if (asJson) std::fputs("\n", stdout);
  return allShown ? 0 : 1;
}
