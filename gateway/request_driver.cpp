#include "gateway/request_driver.h"

#include "gateway/backend_run.h"
#include "gateway/debug_copy.h"
#include "gateway/error_page.h"

namespace {

// Whether the client is still there to read a page; a server that cannot tell is taken to be.
bool ClientStillConnected(EXTENSION_CONTROL_BLOCK* ecb) {
  BOOL connected = TRUE;
  if (!ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_IS_CONNECTED, &connected, nullptr, nullptr)) return true;
  return connected != FALSE;
}

}  // namespace

DWORD HandleRequest(EXTENSION_CONTROL_BLOCK* ecb, bool debugCopy, ExchangeRequest* request) {
  ExchangeRequest own;
  if (request == nullptr) request = &own;
  const LPCSTR failure = WriteExchangeFile(ecb, request);
  if (failure != nullptr) {
    DiscardExchangeFiles(*request);
    // A body cut because its client left gets no page: nobody is there to read it.
    if (request->bBodyCut && !ClientStillConnected(ecb)) return HSE_STATUS_ERROR;
    return SendErrorPage(ecb, failure);
  }
  if (debugCopy) MakeDebugCopy(*request);
  return ReplyToRequest(ecb, *request);
}
