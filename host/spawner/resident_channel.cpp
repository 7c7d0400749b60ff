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
