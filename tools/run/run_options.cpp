#include "tools/run/run_options.h"

#include <cstring>
#include <unistd.h>

const char* const kRunUsage =
    "usage: karvel-run [options] PROGRAM [NAME=VALUE | NAME=@FILE ...]\n"
    "  --get | --post | --multipart   how the form is sent (post; multipart when a file is given)\n"
    "  --charset sjis|utf-8|euc-jp|jis  the encoding the values are sent in (utf-8)\n"
    "  --body FILE --content-type T   a raw body, sent as it is\n"
    "  --remote-addr A  --remote-user U  --timeout S  --keep  --body-only\n"
    "  --wine [--wine-prefix DIR]  --extension PATH  --temp-dir DIR  --debug-copy-dir DIR\n"
    "  --upload-dir DIR               uploads apart from the exchange file, as KarvelUploadDir\n";

namespace {

struct CharsetName {
  const char* szName;
  SendCharset charset;
};

constexpr CharsetName kCharsetNames[] = {
    {"sjis", kSendShiftJis},     {"shift_jis", kSendShiftJis}, {"utf-8", kSendUtf8}, {"utf8", kSendUtf8},
    {"euc-jp", kSendEucJp},      {"jis", kSendJis},            {"iso-2022-jp", kSendJis},
};

bool CharsetNamed(const std::string& name, SendCharset* charset) {
  for (const CharsetName& known : kCharsetNames) {
    if (strcasecmp(name.c_str(), known.szName) == 0) {
      *charset = known.charset;
      return true;
    }
  }
  return false;
}

// The extension's own time-out spelling: at most 9 digits, seconds, or milliseconds with "ms";
// not 0, which would give the program no time at all.
bool UsableTimeout(const std::string& text) {
  const size_t digits = std::strspn(text.c_str(), "0123456789");
  if (digits == 0 || digits > 9) return false;
  if (text.find_first_not_of('0') >= digits) return false;
  return digits == text.size() || text.compare(digits, std::string::npos, "ms") == 0;
}

// NAME=VALUE or NAME=@FILE; false for an argument without a name.
bool ReadField(const std::string& argument, FormArgument* field, std::string* error) {
  const size_t equals = argument.find('=');
  if (equals == std::string::npos || equals == 0) {
    *error = "not a field (NAME=VALUE or NAME=@FILE): " + argument;
    return false;
  }
  field->name = argument.substr(0, equals);
  field->value = argument.substr(equals + 1);
  field->bUpload = !field->value.empty() && field->value[0] == '@';
  if (!field->bUpload) return true;
  field->value.erase(0, 1);
  if (field->value.empty() || access(field->value.c_str(), R_OK) != 0) {
    *error = "cannot read the upload " + field->value + " of " + field->name;
    return false;
  }
  return true;
}

// The options taking a value, and where it goes.
std::string* ValueOption(const std::string& name, RunOptions* options) {
  if (name == "--body") return &options->bodyFile;
  if (name == "--content-type") return &options->contentType;
  if (name == "--remote-addr") return &options->remoteAddr;
  if (name == "--remote-user") return &options->remoteUser;
  if (name == "--timeout") return &options->timeout;
  if (name == "--wine-prefix") return &options->winePrefix;
  if (name == "--extension") return &options->extension;
  if (name == "--temp-dir") return &options->tempDir;
  if (name == "--debug-copy-dir") return &options->debugCopyDir;
  if (name == "--upload-dir") return &options->uploadDir;
  return nullptr;
}

// The combinations that cannot be sent, once every argument is read.
bool CheckCombination(const RunOptions& options, bool postAsked, std::string* error) {
  bool upload = false;
  for (const FormArgument& field : options.fields) upload = upload || field.bUpload;
  if (options.program.empty()) {
    *error = "no PROGRAM given";
  } else if (options.bGet && upload) {
    *error = "an upload (NAME=@FILE) needs a POST";
  } else if (options.bGet && (options.bMultipart || postAsked)) {
    *error = "--get cannot go with --post or --multipart";
  } else if (options.bodyFile.empty() != options.contentType.empty()) {
    *error = "--body and --content-type go together";
  } else if (!options.bodyFile.empty() && (options.bGet || options.bMultipart || !options.fields.empty())) {
    *error = "--body is the whole form: no fields, --get or --multipart beside it";
  } else if (!options.bodyFile.empty() && access(options.bodyFile.c_str(), R_OK) != 0) {
    *error = "cannot read the body " + options.bodyFile;
  } else if (!options.timeout.empty() && !UsableTimeout(options.timeout)) {
    *error = "--timeout takes seconds or milliseconds (\"5\", \"1500ms\"), not " + options.timeout;
  } else if (options.remoteAddr.empty() || options.remoteAddr.size() > 255 || options.remoteUser.size() > 255) {
    *error = "--remote-addr and --remote-user take at most 255 bytes (the address not empty)";
  } else if (!options.winePrefix.empty() && !options.bWine) {
    *error = "--wine-prefix goes with --wine";
  } else {
    return true;
  }
  return false;
}

}  // namespace

const char* SendCharsetLabel(SendCharset charset) {
  switch (charset) {
    case kSendShiftJis: return "shift_jis";
    case kSendEucJp: return "euc-jp";
    case kSendJis: return "iso-2022-jp";
    case kSendUtf8: break;
  }
  return "utf-8";
}

bool ParseRunOptions(int argc, const char* const* argv, RunOptions* options, std::string* error) {
  *options = RunOptions{};
  bool optionsEnded = false, postAsked = false;
  for (int k = 1; k < argc; ++k) {
    const std::string argument = argv[k];
    const bool option = !optionsEnded && argument.size() > 1 && argument[0] == '-';
    if (!option) {
      if (options->program.empty()) {
        options->program = argument;
        continue;
      }
      FormArgument field{};
      if (!ReadField(argument, &field, error)) return false;
      if (field.bUpload) options->bMultipart = true;
      options->fields.push_back(field);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--help" || argument == "-h") {
      options->bHelp = true;
      return true;
    } else if (argument == "--get") {
      options->bGet = true;
    } else if (argument == "--post") {
      postAsked = true;
    } else if (argument == "--multipart") {
      options->bMultipart = true;
    } else if (argument == "--keep") {
      options->bKeep = true;
    } else if (argument == "--wine") {
      options->bWine = true;
    } else if (argument == "--body-only") {
      options->bBodyOnly = true;
    } else if (argument == "--charset") {
      if (k + 1 >= argc || !CharsetNamed(argv[k + 1], &options->charset)) {
        *error = "--charset takes sjis, utf-8, euc-jp or jis";
        return false;
      }
      ++k;
    } else if (std::string* value = ValueOption(argument, options)) {
      if (k + 1 >= argc || argv[k + 1][0] == '\0') {
        *error = argument + " needs a value";
        return false;
      }
      *value = argv[++k];
    } else {
      *error = "unknown option " + argument;
      return false;
    }
  }
  return CheckCombination(*options, postAsked, error);
}
