#include "statusfile/status_paths.h"

namespace {

// Appends `text` to the path of `*length` bytes; FALSE, with as much as fits kept, when the whole
// of it does not fit before the NUL.
BOOL Append(CHAR path[MAX_PATH], int* length, LPCSTR text) {
  for (int k = 0; text[k] != '\0'; ++k) {
    if (*length == MAX_PATH - 1) {
      path[*length] = '\0';
      return FALSE;
    }
    path[(*length)++] = text[k];
  }
  path[*length] = '\0';
  return TRUE;
}

}  // namespace

BOOL BuildTemplatePath(LPCSTR dir, CHAR path[MAX_PATH]) {
  int length = 0;
  path[0] = '\0';
  return Append(path, &length, dir) && Append(path, &length, STATUS_TEMPLATE_NAME);
}

BOOL BuildStatusPath(LPCSTR name, CHAR path[MAX_PATH]) {
  // Room for a directory longer than any status path may be, so that the message can show the
  // start of the path even then.
  CHAR windowsDir[4 * MAX_PATH];
  const UINT size = GetWindowsDirectoryA(windowsDir, sizeof windowsDir);
  if (size == 0 || size >= sizeof windowsDir) {
    path[0] = '\0';
    return FALSE;
  }
  const CHAR separator[] = {KARVEL_PATH_SEPARATOR, '\0'};
  int length = 0;
  path[0] = '\0';
  return Append(path, &length, windowsDir) && Append(path, &length, separator) &&
         Append(path, &length, name) && Append(path, &length, STATUS_FILE_SUFFIX);
}
