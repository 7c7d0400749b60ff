// Whether a request's client is still there, as both the wait for an answer (HSE_REQ_IS_CONNECTED)
// and the wait for a slot at the spawner look at it.
#ifndef KARVEL_HOST_CLIENT_CONNECTION_H
#define KARVEL_HOST_CLIENT_CONNECTION_H

#include <httpd.h>

// False once its connection failed a write or was closed by the client (a peek that reads the
// end of the stream). Bytes waiting, a pipelined request, say nothing.
bool ClientConnected(conn_rec* c);

#endif  // KARVEL_HOST_CLIENT_CONNECTION_H
