#include "gateway/request_driver.h"

#include "gateway/backend_run.h"
#include "gateway/debug_copy.h"
#include "gateway/error_page.h"

DWORD HandleRequest(EXTENSION_CONTROL_BLOCK* ecb, bool debugCopy, ExchangeRequest* request) {
  ExchangeRequest own;
  if (request == nullptr) request = &own;
  const LPCSTR failure = WriteExchangeFile(ecb, request);
  if (failure != nullptr) {
    DiscardExchangeFiles(*request);
    return SendErrorPage(ecb, failure);
  }
  if (debugCopy) MakeDebugCopy(*request);
  return ReplyToRequest(ecb, *request);
}
