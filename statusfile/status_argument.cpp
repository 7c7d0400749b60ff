#include "statusfile/status_argument.h"

void SplitStatusArgument(LPCSTR argument, StatusArgument* out) {
  CHAR* fields[] = {out->szTemplateDir, out->szStatusName, out->szFirstValue, out->szSecondValue};
  for (CHAR* field : fields) field[0] = '\0';
  if (argument == nullptr) return;

  int field = 0;
  int position = 0;
  for (int k = 0; k < STATUS_ARGUMENT_LIMIT; ++k) {
    const CHAR c = argument[k];
    if (c == '\0') break;
    if (c == ',') {
      fields[field][position] = '\0';
      if (field < 3) ++field;  // later fields go into the second value's buffer
      position = 0;
      continue;
    }
    // Only a field that took all 260 bytes could reach the buffer's last byte; it keeps 259.
    if (position == MAX_PATH - 1) continue;
    // The status name becomes part of a file name: no directory separator, no '<'.
    fields[field][position++] = (field == 1 && (c == '\\' || c == '<')) ? '_' : c;
  }
  fields[field][position] = '\0';
}
