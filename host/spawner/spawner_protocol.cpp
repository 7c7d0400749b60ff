#include "host/spawner/spawner_protocol.h"

#include <sys/socket.h>

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

std::string EncodeDone(bool answered, const char* result) {
  std::string payload = FixedBytes(SpawnDone{answered ? 1u : 0u});
  payload.append(result != nullptr ? result : "").push_back('\0');
  return payload;
}

bool DecodeDone(const char* payload, size_t length, bool* answered, std::string* result) {
  SpawnDone done{};
  if (!ReadFixed(payload, length, &done)) return false;
  const char* at = payload + sizeof done;
  std::string text;
  if (!ReadString(&at, payload + length, &text) || at != payload + length) return false;
  *answered = done.answered != 0;
  *result = std::move(text);
  return true;
}

bool SendPacket(int fd, uint32_t type, const void* payload, size_t length) {
  if (length > kSpawnMessageLimit) return false;
  std::string packet(sizeof(SpawnHeader) + length, '\0');
  const SpawnHeader header{type, static_cast<uint32_t>(length)};
  std::memcpy(packet.data(), &header, sizeof header);
  if (length > 0) std::memcpy(packet.data() + sizeof header, payload, length);
  ssize_t sent;
  do {
    sent = send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(packet.size());
}

uint32_t ReceivePacket(int fd, char* buffer, size_t size, const char** payload, size_t* length, int flags,
                       bool readPastReset) {
  ssize_t got;
  do {
    got = recv(fd, buffer, size, flags);
  } while (got < 0 && (errno == EINTR || (readPastReset && errno == ECONNRESET)));
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNoPacketYet;
  SpawnHeader header{};
  if (got < static_cast<ssize_t>(sizeof header)) return kNoPacket;
  std::memcpy(&header, buffer, sizeof header);
  // A packet larger than the buffer arrives cut short: its header then claims more than came.
  if (header.length != static_cast<size_t>(got) - sizeof header || header.type == kNoPacket ||
      header.type == kNoPacketYet) {
    return kNoPacket;
  }
  *payload = buffer + sizeof header;
  *length = header.length;
  return header.type;
}
