#include "host/spawner/spawner_protocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The fixed part of a payload, read from bytes that need not be aligned.
template <typename Fixed>
bool ReadFixed(const char* payload, size_t length, Fixed* fixed) {
  if (payload == nullptr || length < sizeof(Fixed) || length > kSpawnMessageLimit) return false;
  std::memcpy(fixed, payload, sizeof(Fixed));
  return true;
}

template <typename Fixed>
std::string FixedBytes(const Fixed& fixed) {
  return std::string(reinterpret_cast<const char*>(&fixed), sizeof fixed);
}

// The NUL-terminated string at *at, before `end`; false when no NUL comes first.
bool ReadString(const char** at, const char* end, std::string* text) {
  const auto* nul = static_cast<const char*>(std::memchr(*at, '\0', static_cast<size_t>(end - *at)));
  if (nul == nullptr) return false;
  text->assign(*at, nul);
  *at = nul + 1;
  return true;
}

bool AppendString(const std::string& text, std::string* payload) {
  if (text.find('\0') != std::string::npos) return false;
  payload->append(text).push_back('\0');
  return true;
}

}  // namespace

void SetOrderVariable(std::vector<std::string>* environment, const std::string& variable) {
  const std::string name = variable.substr(0, variable.find('=') + 1);
  for (std::string& existing : *environment) {
    if (existing.compare(0, name.size(), name) == 0) {
      existing = variable;
      return;
    }
  }
  environment->push_back(variable);
}

bool EncodeOrder(const SpawnOrderText& order, std::string* payload) {
  SpawnOrder fixed = order.fixed;
  fixed.environmentCount = static_cast<uint32_t>(order.environment.size());
  if (fixed.stderrLevel > kLogLevelHighest) return false;
  std::string bytes = FixedBytes(fixed);
  for (const std::string& text : order.strings) {
    if (!AppendString(text, &bytes)) return false;
  }
  for (const std::string& variable : order.environment) {
    if (!AppendString(variable, &bytes)) return false;
  }
  if (bytes.size() > kSpawnMessageLimit) return false;
  *payload = std::move(bytes);
  return true;
}

bool DecodeOrder(const char* payload, size_t length, SpawnOrderText* order) {
  SpawnOrderText decoded;
  if (!ReadFixed(payload, length, &decoded.fixed) || decoded.fixed.stderrLevel > kLogLevelHighest) return false;
  const char* at = payload + sizeof(SpawnOrder);
  const char* end = payload + length;
  for (std::string& text : decoded.strings) {
    if (!ReadString(&at, end, &text)) return false;
  }
  // Each variable takes a byte at least: a count beyond what is left cannot be met.
  if (decoded.fixed.environmentCount > static_cast<size_t>(end - at)) return false;
  decoded.environment.resize(decoded.fixed.environmentCount);
  for (std::string& variable : decoded.environment) {
    if (!ReadString(&at, end, &variable)) return false;
  }
  if (at != end) return false;  // bytes behind the counted strings: not an order this codec made
  *order = std::move(decoded);
  return true;
}

std::string EncodeReply(int32_t value) { return FixedBytes(SpawnReply{value}); }

bool DecodeReply(const char* payload, size_t length, int32_t* value) {
  SpawnReply reply{};
  if (length != sizeof reply || !ReadFixed(payload, length, &reply)) return false;
  *value = reply.value;
  return true;
}

std::string EncodeDone(bool answered, const char* result, char word, const std::string& reason) {
  std::string payload = FixedBytes(SpawnDone{answered ? 1u : 0u, static_cast<unsigned char>(word)});
  payload.append(result != nullptr ? result : "").push_back('\0');
  const std::string said = word == kResidentNoAnswer ? reason.substr(0, kResidentReasonLimit) : std::string();
  payload.append(said.c_str()).push_back('\0');
  return payload;
}

bool DecodeDone(const char* payload, size_t length, bool* answered, std::string* result, char* word,
                std::string* reason) {
  SpawnDone done{};
  if (!ReadFixed(payload, length, &done)) return false;
  const char* at = payload + sizeof done;
  std::string text, said;
  if (!ReadString(&at, payload + length, &text) || !ReadString(&at, payload + length, &said) ||
      at != payload + length) {
    return false;
  }
  if (done.word != 0 && done.word != static_cast<unsigned char>(kResidentAnswered) &&
      done.word != static_cast<unsigned char>(kResidentNoAnswer) &&
      done.word != static_cast<unsigned char>(kResidentChannelEnded) &&
      done.word != static_cast<unsigned char>(kResidentSpokeUnasked)) {
    return false;
  }
  if (said.size() > kResidentReasonLimit) return false;
  *answered = done.answered != 0;
  *result = std::move(text);
  if (word != nullptr) *word = static_cast<char>(done.word);
  if (reason != nullptr) *reason = std::move(said);
  return true;
}

std::string EncodeInstanceStarted(const SpawnInstanceStarted& started) { return FixedBytes(started); }

bool DecodeInstanceStarted(const char* payload, size_t length, SpawnInstanceStarted* started) {
  return length == sizeof *started && ReadFixed(payload, length, started) && started->entry >= -1 &&
         started->instance != 0;
}

bool EncodeLentDone(const LentRequest& request, std::string* payload) {
  *payload = FixedBytes(request.fixed);
  for (const std::string* text : {&request.logId, &request.client, &request.exchangePath, &request.uploadDirectory}) {
    if (!AppendString(*text, payload)) return false;
  }
  if (request.result.find('\0') != std::string::npos) return false;
  *payload += EncodeDone(request.answered, request.result.c_str(), request.word, request.reason);
  return payload->size() <= kSpawnMessageLimit;
}

bool DecodeLentDone(const char* payload, size_t length, LentRequest* request) {
  if (!ReadFixed(payload, length, &request->fixed)) return false;
  const char* at = payload + sizeof request->fixed;
  const char* end = payload + length;
  for (std::string* text : {&request->logId, &request->client, &request->exchangePath, &request->uploadDirectory}) {
    if (!ReadString(&at, end, text)) return false;
  }
  return request->fixed.instance != 0 &&
         DecodeDone(at, static_cast<size_t>(end - at), &request->answered, &request->result, &request->word,
                    &request->reason);
}

InstanceWord ReadInstanceWord(int channel, std::string* reason) {
  // One more byte than a word may have: a longer packet is cut, and seen to be one.
  char packet[1 + kResidentReasonLimit + 1];
  ssize_t got;
  do {
    got = recv(channel, packet, sizeof packet, MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kWordNothingYet;
  if (got <= 0) return kWordEnded;
  if (packet[0] == kResidentAnswered && got == 1) return kWordAnswered;
  if (packet[0] != kResidentNoAnswer || got > static_cast<ssize_t>(1 + kResidentReasonLimit)) return kWordEnded;
  reason->assign(packet + 1, static_cast<size_t>(got - 1));
  for (char& c : *reason) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return kWordNoAnswer;
}

bool SendPacket(int fd, uint32_t type, const void* payload, size_t length, int flags) {
  if (length > kSpawnMessageLimit) return false;
  std::string packet(sizeof(SpawnHeader) + length, '\0');
  const SpawnHeader header{type, static_cast<uint32_t>(length)};
  std::memcpy(packet.data(), &header, sizeof header);
  if (length > 0) std::memcpy(packet.data() + sizeof header, payload, length);
  ssize_t sent;
  do {
    sent = send(fd, packet.data(), packet.size(), MSG_NOSIGNAL | flags);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(packet.size());
}

bool SendWithDescriptors(int fd, const void* bytes, size_t length, const int* descriptors, size_t count) {
  if (count == 0 || count > kPassedLimit) return false;
  iovec data{const_cast<void*>(bytes), length};
  alignas(cmsghdr) char control[CMSG_SPACE(kPassedLimit * sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = CMSG_SPACE(count * sizeof(int));
  cmsghdr* passed = CMSG_FIRSTHDR(&message);
  passed->cmsg_level = SOL_SOCKET;
  passed->cmsg_type = SCM_RIGHTS;
  passed->cmsg_len = CMSG_LEN(count * sizeof(int));
  std::memcpy(CMSG_DATA(passed), descriptors, count * sizeof(int));
  ssize_t sent;
  do {
    sent = sendmsg(fd, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(length);
}

ssize_t ReceiveWithDescriptors(int fd, void* buffer, size_t size, int flags, int* descriptors, size_t count) {
  for (size_t k = 0; k < count; ++k) descriptors[k] = -1;
  iovec data{buffer, size};
  alignas(cmsghdr) char control[CMSG_SPACE(kPassedLimit * sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t got = recvmsg(fd, &message, flags | MSG_CMSG_CLOEXEC);
  if (got < 0) return got;
  size_t taken = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const size_t passedCount = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t k = 0; k < passedCount; ++k) {
      int passed = -1;
      std::memcpy(&passed, CMSG_DATA(c) + k * sizeof(int), sizeof passed);
      if (taken < count) {
        descriptors[taken++] = passed;
      } else {
        close(passed);
      }
    }
  }
  return got;
}

bool SendPacketWithDescriptors(int fd, uint32_t type, const std::string& payload, const int* descriptors,
                               size_t count) {
  if (payload.size() > kSpawnMessageLimit) return false;
  std::string packet(sizeof(SpawnHeader) + payload.size(), '\0');
  const SpawnHeader header{type, static_cast<uint32_t>(payload.size())};
  std::memcpy(packet.data(), &header, sizeof header);
  std::memcpy(packet.data() + sizeof header, payload.data(), payload.size());
  return SendWithDescriptors(fd, packet.data(), packet.size(), descriptors, count);
}

uint32_t ReceivePacket(int fd, char* buffer, size_t size, const char** payload, size_t* length, int flags,
                       bool readPastReset, int* descriptor, size_t count) {
  ssize_t got;
  do {
    got = descriptor != nullptr ? ReceiveWithDescriptors(fd, buffer, size, flags, descriptor, count)
                                : recv(fd, buffer, size, flags);
  } while (got < 0 && (errno == EINTR || (readPastReset && errno == ECONNRESET)));
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNoPacketYet;
  SpawnHeader header{};
  if (got >= static_cast<ssize_t>(sizeof header)) std::memcpy(&header, buffer, sizeof header);
  // A packet larger than the buffer arrives cut short: its header then claims more than came.
  if (got < static_cast<ssize_t>(sizeof header) || header.length != static_cast<size_t>(got) - sizeof header ||
      header.type == kNoPacket || header.type == kNoPacketYet) {
    // What came with a packet that is none is not kept.
    for (size_t k = 0; descriptor != nullptr && k < count; ++k) {
      if (descriptor[k] >= 0) close(descriptor[k]);
      descriptor[k] = -1;
    }
    return kNoPacket;
  }
  *payload = buffer + sizeof header;
  *length = header.length;
  return header.type;
}
