// VC_KARVEL2's exports. The same source makes the plain build and, with KARVEL_DEBUG_COPY, the
// debug-copy build. Nothing lives between requests.
#include <cstring>

#include "gateway/request_driver.h"
#include "platform/export.h"

extern "C" KARVEL_EXPORT BOOL WINAPI GetExtensionVersion(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = 0x00020000;  // 2.0
  std::strncpy(version->lpszExtensionDesc, "VC_KARVEL2", HSE_MAX_EXT_DLL_NAME_LEN);
  return TRUE;
}

extern "C" KARVEL_EXPORT DWORD WINAPI HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
#if defined(KARVEL_DEBUG_COPY)
  return HandleRequest(ecb, true, nullptr);
#else
  return HandleRequest(ecb, false, nullptr);
#endif
}
