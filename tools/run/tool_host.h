// karvel-run's built-in host: loads the extension Apache's mod_karvel loads, hands it one request
// through an EXTENSION_CONTROL_BLOCK of its own (the server variables and site settings
// mod_karvel gives, the body, the reply callbacks and karvel's own support requests) and gathers
// its reply and what it told of a failure.
#ifndef KARVEL_TOOLS_RUN_TOOL_HOST_H
#define KARVEL_TOOLS_RUN_TOOL_HOST_H

#include <string>
#include <utility>
#include <vector>

#include "tools/run/form_body.h"
#include "tools/run/program_run.h"
#include "tools/run/tool_reply.h"

struct ToolRequest {
  BuiltForm form;
  std::vector<std::pair<std::string, std::string>> variables;  // server variables and site settings
  WineRun wine;
  size_t nBodyHanded = 0;  // body bytes given to the extension so far
  ToolReply reply;
  ProgramRun program;
  bool bFailureTold = false;
  std::string failureText;    // the error page's text
  std::string failureReason;  // why, in the operator's words
  std::vector<std::string> warnings;
};

// The server variables mod_karvel gives for `request`'s form (method, query, body type and
// length, client, script paths ...).
void AddRequestVariables(const std::string& remoteAddr, const std::string& remoteUser, ToolRequest* request);

// Loads the extension at `path` and runs the request through it; false with *error when it cannot
// be loaded or refuses to start. *result gets HttpExtensionProc's.
bool RunThroughExtension(const std::string& path, ToolRequest* request, DWORD* result, std::string* error);

#endif  // KARVEL_TOOLS_RUN_TOOL_HOST_H
