#include "host/module/host_errors.h"

#include "platform/export.h"

namespace {
thread_local DWORD t_hostLastError = ERROR_SUCCESS;
}

BOOL FailWithError(DWORD code) {
  t_hostLastError = code;
  return FALSE;
}

void ClearHostError() { t_hostLastError = ERROR_SUCCESS; }

extern "C" KARVEL_EXPORT DWORD KarvelHostLastError(void) { return t_hostLastError; }
