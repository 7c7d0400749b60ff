// Arbitrary templates and values through EmitStatus: no sanitizer finding, result 0, and a status
// file equal to a plain expansion written here. Input: the values part of the argument up to the
// first NUL byte, then the template's bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/test_hooks.h"
#include "statusfile/emit_status.h"

namespace {

void FixedClock(SYSTEMTIME* time) {
  *time = SYSTEMTIME{};
  time->wYear = 2026;
  time->wMonth = 12;
  time->wDay = 8;
}

const std::string& WorkDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/karvel-fuzz-status-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    setenv("WINDIR", pattern, 1);
    karvel_test::SetLocalTimeSource(FixedClock);
    return std::string(pattern);
  }();
  return dir;
}

// Fields 3 and 4 as the splitter must see them: 260 bytes at most, commas split, later fields
// land in the fourth.
void ExpectedValues(const std::string& argument, std::string* first, std::string* second) {
  const std::string seen = argument.substr(0, 260);
  std::vector<std::string> fields(1);
  for (char c : seen) {
    if (c == ',') {
      if (fields.size() < 4) fields.emplace_back(); else fields[3].clear();
      continue;
    }
    fields.back() += c;
  }
  fields.resize(4);
  *first = fields[2];
  *second = fields[3];
}

std::string Expand(const std::string& text, const std::string& first, const std::string& second) {
  std::string out;
  for (size_t k = 0; k < text.size(); ++k) {
    if (text[k] == '@' && k + 1 < text.size() && text[k + 1] >= '1' && text[k + 1] <= '5') {
      switch (text[k + 1]) {
        case '1': out += "12/08/26"; break;
        case '2': out += std::to_string(first.size()); break;
        case '3': out += first; break;
        case '4': out += std::to_string(second.size()); break;
        case '5': out += second; break;
      }
      ++k;
    } else {
      out += text[k];
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& dir = WorkDir();
  const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const size_t valuesLength = nul ? static_cast<size_t>(nul - data) : size;
  const std::string values(reinterpret_cast<const char*>(data), valuesLength);
  const std::string templateText =
      nul ? std::string(reinterpret_cast<const char*>(nul + 1), size - valuesLength - 1) : "";
  std::ofstream(dir + "/VB_KARVEL.MIF", std::ios::binary | std::ios::trunc) << templateText;

  const std::string argument = dir + "/,F," + values;
  if (EmitStatusFor(argument.c_str()) != 0) std::abort();

  std::string first, second;
  ExpectedValues(argument, &first, &second);
  std::ifstream in(dir + "/F_VB_KARVEL.MIF", std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (written != Expand(templateText, first, second)) std::abort();
  return 0;
}
