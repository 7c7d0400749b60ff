// A fake web server request: a GET with a query string, or a POST whose body is partly preloaded
// (cbAvailable bytes at lpbData) and served for the rest by ReadClient in chunks of a chosen size,
// optionally cut short; server variables to hand out; and a record of every answer sent through
// ServerSupportFunction. ConnID points at the fake itself.
#ifndef KARVEL_TESTS_GATEWAY_FAKE_ECB_H
#define KARVEL_TESTS_GATEWAY_FAKE_ECB_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "isapi/karvel_host.h"
#include "platform/test_hooks.h"

namespace gateway_test {

// ERROR_NETNAME_DELETED: the error a server gives a read whose connection failed.
constexpr DWORD kConnectionLost = 64;

class FakeEcb {
 public:
  // A GET (or any other method) that carries `query`.
  static FakeEcb Get(const std::string& query, const char* method = "GET") {
    FakeEcb fake;
    fake.method_ = method;
    fake.query_ = query;
    return fake;
  }
  // A POST of `body`: `preload` bytes already held (at most the body's size), ReadClient
  // delivering at most `chunk` bytes a call. cbTotalBytes is the body's size unless Declare()
  // changes it.
  static FakeEcb Post(const std::string& body, size_t chunk = 65536, size_t preload = 0,
                      const char* method = "POST") {
    FakeEcb fake;
    fake.method_ = method;
    fake.body_ = body;
    fake.chunk_ = chunk;
    fake.preload_ = preload < body.size() ? preload : body.size();
    fake.declared_ = body.size();
    return fake;
  }

  FakeEcb& Declare(size_t totalBytes) { declared_ = totalBytes; return *this; }
  // The request's Content-Type ("" unless set).
  FakeEcb& ContentType(const std::string& type) {
    contentType_ = type;
    return *this;
  }
  // GetServerVariable hands out `value` for `name`; names not set give FALSE.
  FakeEcb& Variable(const std::string& name, const std::string& value) {
    variables_[name] = value;
    return *this;
  }

  // One call of ServerSupportFunction: the request code, the text at lpvBuffer, the header string
  // passed in the data-type argument (HSE_REQ_SEND_RESPONSE_HEADER), the size passed.
  struct SupportCall {
    DWORD request;
    std::string buffer, header;
    DWORD size;
  };
  const std::vector<SupportCall>& supportCalls() const { return supportCalls_; }
  // Each HSE_REQ_KARVEL_FAILURE the extension told (they are not among supportCalls()).
  struct FailureTold {
    std::string result, text, program, reason;
    DWORD error, status;
    bool errorDocument;
  };
  const std::vector<FailureTold>& failures() const { return failures_; }
  // Each HSE_REQ_KARVEL_WARNING the extension told (they are not among supportCalls()).
  struct WarningTold {
    std::string text, path;
    DWORD error;
  };
  const std::vector<WarningTold>& warnings() const { return warnings_; }
  // Every byte sent through WriteClient, and through HSE_REQ_VECTOR_SEND (memory and files).
  const std::string& written() const { return written_; }
  // HSE_REQ_VECTOR_SEND calls taken (they are not among supportCalls()).
  int vectorSends() const { return vectorSends_; }
  // HSE_REQ_VECTOR_SEND answers FALSE and sends nothing, as a server without it does.
  FakeEcb& RefuseVectorSend() { refuseVectors_ = true; return *this; }
  // WriteClient and HSE_REQ_VECTOR_SEND fail once `bytes` bytes went out, as when the client left.
  FakeEcb& ClientLeavesAfter(size_t bytes) { leaveAfter_ = bytes; return *this; }
  // WriteClient calls made, failed ones included.
  int writeCalls() const { return writeCalls_; }
  // HSE_REQ_IS_CONNECTED answers that the client has left.
  FakeEcb& ClientGone() { connected_ = false; return *this; }
  int connectedAsks() const { return connectedAsks_; }
  // The server starts programs itself (as mod_karvel's spawner does) and answers each start with
  // `outcome` (KARVEL_SERVER_BUSY ...) without running the program.
  FakeEcb& HostStartAnswers(DWORD outcome) { hostOutcome_ = outcome; return *this; }
  // Such a server's answer to HSE_REQ_KARVEL_PROGRAM_STATE (KARVEL_PROGRAM_RUNNING ...), and the
  // results HSE_REQ_KARVEL_PROGRAM_DONE told it; 0: it takes neither.
  FakeEcb& HostProgramState(DWORD state) { hostState_ = state; return *this; }
  const std::vector<std::string>& doneResults() const { return doneResults_; }
  // What each start order asked of such a server: the program, and whether it runs under Wine.
  struct StartOrder {
    std::string program;
    bool underWine;
  };
  const std::vector<StartOrder>& startOrders() const { return startOrders_; }
  // ReadClient serves `bytes` bytes in all, then returns FALSE (or TRUE with 0 bytes).
  // A failing end leaves `error` as the last error, as a server tells why (a body over its limit).
  FakeEcb& EndAfter(size_t bytes, bool fail, DWORD error = kConnectionLost) {
    endAfter_ = bytes;
    endFails_ = fail;
    endError_ = error;
    return *this;
  }
  // `act` runs at every ReadClient call, before it serves: what happens while the body comes.
  FakeEcb& OnRead(std::function<void()> act) { onRead_ = std::move(act); return *this; }
  // The `count` next allocations fail once ReadClient is asked for the body byte at `offset`.
  FakeEcb& FailAllocationsAt(size_t offset, int count) {
    failAt_ = offset;
    failCount_ = count;
    return *this;
  }

  // The control block, filled afresh; it points into this fake, which must stay where it is.
  EXTENSION_CONTROL_BLOCK* Ecb() {
    std::memset(&ecb_, 0, sizeof ecb_);
    ecb_.cbSize = sizeof ecb_;
    ecb_.ConnID = this;
    ecb_.lpszMethod = method_.data();
    ecb_.lpszQueryString = query_.data();
    ecb_.lpszContentType = contentType_.data();
    ecb_.cbTotalBytes = static_cast<DWORD>(declared_);
    ecb_.cbAvailable = static_cast<DWORD>(preload_);
    ecb_.lpbData = reinterpret_cast<LPBYTE>(body_.data());
    ecb_.ReadClient = &ReadClient;
    ecb_.GetServerVariable = &GetServerVariable;
    ecb_.ServerSupportFunction = &ServerSupportFunction;
    ecb_.WriteClient = &WriteClient;
    supportCalls_.clear();
    failures_.clear();
    warnings_.clear();
    written_.clear();
    vectorSends_ = 0;
    writeCalls_ = 0;
    served_ = preload_;
    ended_ = false;
    fault_.clear();
    return &ecb_;
  }
  const EXTENSION_CONTROL_BLOCK& ecb() const { return ecb_; }
  // What ReadClient saw the reader do wrong ("" when nothing).
  const std::string& fault() const { return fault_; }
  size_t served() const { return served_; }

 private:
  static BOOL WINAPI ReadClient(HCONN conn, LPVOID buffer, LPDWORD size) {
    FakeEcb* fake = static_cast<FakeEcb*>(conn);
    if (fake == nullptr || size == nullptr || buffer == nullptr) return FALSE;
    return fake->Serve(static_cast<uint8_t*>(buffer), size);
  }

  static BOOL WINAPI GetServerVariable(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size) {
    FakeEcb* fake = static_cast<FakeEcb*>(conn);
    auto found = fake->variables_.find(name);
    // As a server reports them: a name it does not have, and a value too long for the room given
    // (with the size it needs).
    if (found == fake->variables_.end()) {
      SetLastError(ERROR_INVALID_INDEX);
      return FALSE;
    }
    if (found->second.size() + 1 > *size) {
      *size = static_cast<DWORD>(found->second.size() + 1);
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    std::memcpy(buffer, found->second.c_str(), found->second.size() + 1);
    *size = static_cast<DWORD>(found->second.size() + 1);
    return TRUE;
  }

  static BOOL WINAPI ServerSupportFunction(HCONN conn, DWORD request, LPVOID buffer, LPDWORD size,
                                           LPDWORD dataType) {
    FakeEcb* fake = static_cast<FakeEcb*>(conn);
    if (request == HSE_REQ_VECTOR_SEND) return fake->VectorSend(static_cast<const HSE_RESPONSE_VECTOR*>(buffer));
    if (request == HSE_REQ_IS_CONNECTED) {
      fake->connectedAsks_++;
      *static_cast<BOOL*>(buffer) = fake->connected_ ? TRUE : FALSE;
      return TRUE;
    }
    if (request == HSE_REQ_KARVEL_START_PROGRAM && fake->hostOutcome_ != 0) {
      auto* start = static_cast<KARVEL_PROGRAM_START*>(buffer);
      fake->startOrders_.push_back({start->pszProgram != nullptr ? start->pszProgram : "", start->bUnderWine != FALSE});
      start->dwOutcome = fake->hostOutcome_;
      return TRUE;
    }
    if (request == HSE_REQ_KARVEL_PROGRAM_STATE && fake->hostState_ != 0) {
      *static_cast<DWORD*>(buffer) = fake->hostState_;
      return TRUE;
    }
    if (request == HSE_REQ_KARVEL_PROGRAM_DONE && fake->hostState_ != 0) {
      const auto* done = static_cast<const KARVEL_PROGRAM_DONE*>(buffer);
      fake->doneResults_.push_back(done->pszResult != nullptr ? done->pszResult : "");
      return TRUE;
    }
    if (request == HSE_REQ_KARVEL_FAILURE) {
      const auto* told = static_cast<const KARVEL_REQUEST_FAILURE*>(buffer);
      auto text = [](LPCSTR value) { return std::string(value != nullptr ? value : "\x01null"); };
      fake->failures_.push_back({text(told->pszResult), text(told->pszText), text(told->pszProgram),
                                 text(told->pszReason), told->dwError, told->dwStatus, told->bErrorDocument != FALSE});
      return TRUE;
    }
    if (request == HSE_REQ_KARVEL_WARNING) {
      const auto* told = static_cast<const KARVEL_REQUEST_WARNING*>(buffer);
      fake->warnings_.push_back({told->pszText != nullptr ? told->pszText : "\x01null",
                                 told->pszPath != nullptr ? told->pszPath : "\x01null", told->dwError});
      return TRUE;
    }
    // Karvel's own requests: this server starts no programs (the extension does).
    if (request == HSE_REQ_KARVEL_START_PROGRAM || request == HSE_REQ_KARVEL_PROGRAM_DONE) return FALSE;
    SupportCall call{request, buffer ? static_cast<const char*>(buffer) : "", "", size ? *size : 0};
    if (request == HSE_REQ_SEND_RESPONSE_HEADER && dataType != nullptr) {
      call.header = reinterpret_cast<const char*>(dataType);
    }
    fake->supportCalls_.push_back(call);
    return TRUE;
  }

  static BOOL WINAPI WriteClient(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD) {
    FakeEcb* fake = static_cast<FakeEcb*>(conn);
    fake->writeCalls_++;
    return fake->Send(static_cast<const char*>(buffer), *bytes);
  }

  BOOL Send(const char* bytes, size_t count) {
    if (written_.size() + count > leaveAfter_) return FALSE;
    written_.append(bytes, count);
    return TRUE;
  }

  // Memory elements as they are; file elements read through their handle from their offset.
  BOOL VectorSend(const HSE_RESPONSE_VECTOR* vector) {
    if (refuseVectors_ || vector == nullptr || (vector->dwFlags & HSE_IO_SYNC) == 0) return FALSE;
    vectorSends_++;
    for (DWORD k = 0; k < vector->nElementCount; ++k) {
      const HSE_VECTOR_ELEMENT& element = vector->lpElementArray[k];
      if (element.ElementType == HSE_VECTOR_ELEMENT_TYPE_MEMORY_BUFFER) {
        if (!Send(static_cast<const char*>(element.pvContext) + element.cbOffset, element.cbSize)) return FALSE;
        continue;
      }
      HANDLE file = static_cast<HANDLE>(element.pvContext);
      LONG high = static_cast<LONG>(element.cbOffset >> 32);
      SetFilePointer(file, static_cast<LONG>(element.cbOffset & 0xFFFFFFFFu), &high, FILE_BEGIN);
      char block[65536];
      for (ULONGLONG left = element.cbSize; left > 0;) {
        DWORD read = 0;
        if (!ReadFile(file, block, left < sizeof block ? static_cast<DWORD>(left) : sizeof block, &read, nullptr) ||
            read == 0 || !Send(block, read)) {
          return FALSE;
        }
        left -= read;
      }
    }
    return TRUE;
  }

  BOOL Serve(uint8_t* buffer, DWORD* size) {
    auto left = [this](size_t limit) { return limit > served_ ? limit - served_ : 0; };
    if (onRead_) onRead_();
    if (ended_) fault_ += "ReadClient called after the body ended; ";
    if (*size > 65536 || *size > left(declared_)) fault_ += "asked for more than 64 KiB or cbTotalBytes leaves; ";
    if (failCount_ > 0 && served_ >= failAt_) {
      karvel_test::FailNextAllocations(failCount_);
      failCount_ = 0;
    }
    const size_t n = std::min({size_t{*size}, chunk_, left(body_.size()), left(endAfter_)});
    if (n == 0) {
      ended_ = true;
      if (served_ >= endAfter_ && endFails_) {
        SetLastError(endError_);
        return FALSE;  // the count is left as it was asked
      }
    }
    *size = static_cast<DWORD>(n);
    if (n == 0) return TRUE;
    std::memcpy(buffer, body_.data() + served_, n);
    served_ += n;
    return TRUE;
  }

  EXTENSION_CONTROL_BLOCK ecb_{};
  std::string method_, query_, body_, contentType_;
  size_t chunk_ = 65536, preload_ = 0, declared_ = 0, served_ = 0;
  size_t endAfter_ = SIZE_MAX, failAt_ = 0;
  DWORD endError_ = 0;
  int failCount_ = 0;
  bool endFails_ = false, ended_ = false;
  std::string fault_;
  std::function<void()> onRead_;
  std::map<std::string, std::string> variables_;
  std::vector<SupportCall> supportCalls_;
  std::vector<FailureTold> failures_;
  std::vector<WarningTold> warnings_;
  std::string written_;
  int vectorSends_ = 0, writeCalls_ = 0, connectedAsks_ = 0;
  bool connected_ = true;
  DWORD hostOutcome_ = 0;
  DWORD hostState_ = 0;
  std::vector<std::string> doneResults_;
  std::vector<StartOrder> startOrders_;
  bool refuseVectors_ = false;
  size_t leaveAfter_ = SIZE_MAX;
};

}  // namespace gateway_test

#endif  // KARVEL_TESTS_GATEWAY_FAKE_ECB_H
