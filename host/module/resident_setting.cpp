#include "host/module/resident_setting.h"

#include <algorithm>
#include <cstring>

namespace {

// A whole number from `lowest` to `highest`, digits only (no sign, no blank, no unit).
bool ReadCount(const char* text, long lowest, long highest, int* value) {
  if (*text == '\0' || std::strlen(text) > 10) return false;
  long number = 0;
  for (const char* at = text; *at != '\0'; ++at) {
    if (*at < '0' || *at > '9') return false;
    number = number * 10 + (*at - '0');
  }
  if (number < lowest || number > highest) return false;
  *value = static_cast<int>(number);
  return true;
}

// The program's name as a form gives it: a path inside the back-end directory, never outside it.
std::string ProgramRefused(const std::string& program) {
  if (program.empty()) return "the program's name is empty";
  if (program[0] == '/') return "the program " + program + " must be named as a form names it, inside the back-end directory";
  if (program.find('=') != std::string::npos) return "the first word must be the program, not an option: " + program;
  for (size_t at = 0; at <= program.size();) {
    const size_t end = std::min(program.find('/', at), program.size());
    if (program.compare(at, end - at, "..") == 0) return "the program " + program + " leaves the back-end directory";
    at = end + 1;
  }
  return "";
}

struct Option {
  const char* name;
  long lowest, highest;
  int ResidentSetting::*field;
};

constexpr Option kOptions[] = {
    {"instances", 1, kResidentMostInstances, &ResidentSetting::instances},
    {"max-requests", 0, kResidentMostRequests, &ResidentSetting::maxRequests},
    {"idle", 0, kResidentMostIdleSeconds, &ResidentSetting::idleSeconds},
};

}  // namespace

std::string ReadResidentSetting(const char* const* words, int count, long processors, ResidentSetting* setting) {
  if (count < 1) return "names the program, then instances=N, max-requests=M, idle=SECONDS as needed";
  ResidentSetting read{words[0], 0, kResidentDefaultMaxRequests, kResidentDefaultIdleSeconds};
  const std::string refused = ProgramRefused(read.program);
  if (!refused.empty()) return refused;
  const long twice = processors > 0 ? 2 * processors : 2;
  read.instances = static_cast<int>(twice < kResidentMostInstances ? twice : kResidentMostInstances);
  bool given[sizeof kOptions / sizeof kOptions[0]] = {};
  for (int k = 1; k < count; ++k) {
    const char* word = words[k];
    const char* equals = std::strchr(word, '=');
    size_t known = 0;
    while (known < sizeof kOptions / sizeof kOptions[0] &&
           (equals == nullptr || std::strlen(kOptions[known].name) != static_cast<size_t>(equals - word) ||
            std::strncmp(kOptions[known].name, word, static_cast<size_t>(equals - word)) != 0)) {
      ++known;
    }
    if (known == sizeof kOptions / sizeof kOptions[0]) {
      return std::string("unknown option ") + word + " (instances=N, max-requests=M, idle=SECONDS)";
    }
    const Option& option = kOptions[known];
    if (given[known]) return std::string(option.name) + " is given twice";
    given[known] = true;
    if (!ReadCount(equals + 1, option.lowest, option.highest, &(read.*option.field))) {
      return std::string(option.name) + " takes a whole number from " + std::to_string(option.lowest) + " to " +
             std::to_string(option.highest) + ", not " + (equals + 1);
    }
  }
  *setting = read;
  return "";
}
