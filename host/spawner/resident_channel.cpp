#include "host/spawner/resident_channel.h"

#include <sys/socket.h>

#include <cerrno>

#include "host/spawner/spawner_protocol.h"

bool HandOverRequest(int channel, const std::string& exchangePath) {
  if (exchangePath.empty() || exchangePath[0] != '/' || exchangePath.size() > kResidentPathLimit ||
      exchangePath.find('\0') != std::string::npos) {
    return false;
  }
  std::string packet(1, kResidentRequest);
  packet += exchangePath;
  ssize_t sent;
  do {
    sent = send(channel, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(packet.size());
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
