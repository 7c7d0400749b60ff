// What karvel-run was asked on its command line: the program, the form's fields and how the form
// goes to the extension. Read once, checked whole before anything runs.
#ifndef KARVEL_TOOLS_RUN_RUN_OPTIONS_H
#define KARVEL_TOOLS_RUN_RUN_OPTIONS_H

#include <string>
#include <vector>

// How the values typed on the command line (UTF-8) travel in the form, and how it says so.
enum SendCharset { kSendUtf8, kSendShiftJis, kSendEucJp, kSendJis };

// One NAME=VALUE argument, or NAME=@FILE: an upload of that file's bytes.
struct FormArgument {
  std::string name;
  std::string value;  // the text, or the file's path for an upload
  bool bUpload;
};

struct RunOptions {
  std::string program;
  std::vector<FormArgument> fields;
  bool bGet = false;
  bool bMultipart = false;      // set by --multipart, or by an upload among the fields
  SendCharset charset = kSendUtf8;
  std::string bodyFile;         // --body: a raw body sent as it is
  std::string contentType;      // its --content-type
  std::string remoteAddr = "127.0.0.1";
  std::string remoteUser;
  std::string timeout;          // the extension's time-out setting as given ("5", "1500ms"); "" none
  bool bKeep = false;
  bool bWine = false;
  std::string winePrefix;       // --wine-prefix, else WINEPREFIX, else ~/.wine
  bool bBodyOnly = false;
  std::string extension;        // --extension: VC_KARVEL2.so to load
  std::string tempDir;          // --temp-dir: where the request's files go (kept as it is)
  std::string debugCopyDir;     // --debug-copy-dir: the debug-copy build, its copies there
  std::string uploadDir;        // --upload-dir: the site's KarvelUploadDir, uploads apart there
  bool bHelp = false;
};

// Reads argv into *options; false with *error saying what is wrong (the caller exits 2).
bool ParseRunOptions(int argc, const char* const* argv, RunOptions* options, std::string* error);

// The charset's label as the form declares it ("shift_jis", "utf-8", ...).
const char* SendCharsetLabel(SendCharset charset);

extern const char* const kRunUsage;

#endif  // KARVEL_TOOLS_RUN_RUN_OPTIONS_H
