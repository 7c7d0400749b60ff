#include "gateway/answer_file.h"

#include "platform/regular_files.h"

HANDLE OpenAnswerFile(LPCSTR exchangePath) { return OpenRegularFileItself(exchangePath, GENERIC_READ, FILE_SHARE_READ); }

bool MeasureFile(HANDLE file, ULONGLONG* size) {
  LONG high = 0;
  SetLastError(ERROR_SUCCESS);
  const DWORD low = SetFilePointer(file, 0, &high, FILE_END);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) return false;
  *size = (static_cast<ULONGLONG>(static_cast<DWORD>(high)) << 32) | low;
  return true;
}
