#include "statusfile/emit_status.h"
#include "statusfile/expand_template.h"
#include "statusfile/failure_message.h"
#include "statusfile/status_argument.h"
#include "statusfile/status_paths.h"

namespace {
constexpr LONG kExpanded = 0;
constexpr LONG kFailed = 99;
}  // namespace

LONG EmitStatusFor(LPCSTR argument) {
  StatusArgument fields;
  SplitStatusArgument(argument, &fields);

  // Paths that would not fit are refused before anything is read or written.
  CHAR templatePath[MAX_PATH];
  if (!BuildTemplatePath(fields.szTemplateDir, templatePath)) {
    ShowStatusFailure(kStatusReadFailed, templatePath);
    return kFailed;
  }
  CHAR statusPath[MAX_PATH];
  if (!BuildStatusPath(fields.szStatusName, statusPath)) {
    ShowStatusFailure(kStatusCreateFailed, statusPath);
    return kFailed;
  }
  return ExpandTemplate(templatePath, statusPath, fields.szFirstValue, fields.szSecondValue) == 1
             ? kExpanded
             : kFailed;
}
