#include "host/module/client_connection.h"

#include <poll.h>
#include <sys/socket.h>

#include <apr_portable.h>
#include <http_core.h>

bool ClientConnected(conn_rec* c) {
  if (c->aborted) return false;
  apr_socket_t* socket = ap_get_conn_socket(c);
  apr_os_sock_t fd = -1;
  if (socket == nullptr || apr_os_sock_get(&fd, socket) != APR_SUCCESS || fd < 0) return true;
  pollfd probe{fd, POLLIN | POLLRDHUP, 0};
  if (poll(&probe, 1, 0) <= 0) return true;
  if (probe.revents & (POLLHUP | POLLERR | POLLRDHUP)) return false;
  char byte = 0;
  return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) != 0;
}
