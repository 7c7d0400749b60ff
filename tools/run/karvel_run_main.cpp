// karvel-run [options] PROGRAM [NAME=VALUE | NAME=@FILE ...]: runs one back-end program against a
// form through the extension, as the server would, and prints the reply as an HTTP response.
// Exit 0 for an answer, 1 for the error page (its text on stderr), 2 when it could not be run.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/run/program_run.h"
#include "tools/run/run_options.h"
#include "tools/run/run_setup.h"
#include "tools/run/tool_host.h"

int main(int argc, char** argv) {
  RunOptions options;
  std::string error;
  if (!ParseRunOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "karvel-run: %s\n%s", error.c_str(), kRunUsage);
    return 2;
  }
  if (options.bHelp) {
    std::fputs(kRunUsage, stdout);
    return 0;
  }
  RunSetup setup;
  ToolRequest request;
  if (!PrepareRun(options, argv[0], &setup, &request, &error)) {
    std::fprintf(stderr, "karvel-run: %s\n", error.c_str());
    EndRun(options, &setup, request);
    return 2;
  }
  StopProgramWithKarvelRun();
  DWORD result = HSE_STATUS_ERROR;
  if (!RunThroughExtension(setup.extension, &request, &result, &error)) {
    std::fprintf(stderr, "karvel-run: %s\n", error.c_str());
    EndRun(options, &setup, request);
    return 2;
  }
  const int status = ShowOutcome(options, request, result);
  EndRun(options, &setup, request);
  return status;
}
