// Everything around the one request karvel-run hands the extension: which extension build it
// loads, the back-end directory and the site settings it gives, a temporary directory of its own,
// and after the run what is printed, kept or removed.
#ifndef KARVEL_TOOLS_RUN_RUN_SETUP_H
#define KARVEL_TOOLS_RUN_RUN_SETUP_H

#include <string>

#include "tools/run/run_options.h"
#include "tools/run/tool_host.h"

struct RunSetup {
  std::string extension;     // the VC_KARVEL2.so loaded
  std::string tempDir;       // the request's files
  bool bOwnTempDir = false;  // made by karvel-run (removed with everything in it unless --keep)
  std::string debugCopyDir;  // where the debug-copy build leaves its copy; "" for the plain build
  std::string uploadDir;     // --upload-dir resolved: the site's upload directory; "" beside the file
};

// Finds the extension and Wine, makes the temporary directory, builds the form and the server
// variables; false with *error when the request cannot be run (exit 2).
bool PrepareRun(const RunOptions& options, const char* argv0, RunSetup* setup, ToolRequest* request, std::string* error);

// Prints the reply (stdout) and what karvel-run has to say of it (stderr); the exit status.
int ShowOutcome(const RunOptions& options, const ToolRequest& request, DWORD result);

// --keep: names what was kept on stderr; else removes the request's files.
void EndRun(const RunOptions& options, RunSetup* setup, const ToolRequest& request);

// The extension to load: `given`, else the build beside the tool (a build tree's lib/), else the
// installed one; in debug-copy/ below its directory for the debug-copy build. "" when none is there.
std::string FindExtension(const std::string& given, const std::string& toolPath, bool debugCopy);

#endif  // KARVEL_TOOLS_RUN_RUN_SETUP_H
