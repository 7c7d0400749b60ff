#include "gateway/host_warning.h"

#include "isapi/karvel_host.h"

namespace {

// `text` into `out` (`room` bytes), cut to fit and always ended.
void CopyBounded(CHAR* out, LPCSTR text, int room) {
  int k = 0;
  for (; text != nullptr && text[k] != '\0' && k < room - 1; ++k) out[k] = text[k];
  out[k] = '\0';
}

}  // namespace

void WarnHost(EXTENSION_CONTROL_BLOCK* ecb, LPCSTR text, LPCSTR path, DWORD error) {
  if (ecb == nullptr || ecb->ServerSupportFunction == nullptr) return;
  CHAR said[160], where[MAX_PATH];
  CopyBounded(said, text, static_cast<int>(sizeof said));
  CopyBounded(where, path, static_cast<int>(sizeof where));
  KARVEL_REQUEST_WARNING warning{said, path != nullptr ? where : nullptr, error};
  // The error code of the step that failed stays the thread's, whatever the host's answer sets.
  const DWORD kept = GetLastError();
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_KARVEL_WARNING, &warning, nullptr, nullptr);
  SetLastError(kept);
}
