// The block in which the gateway moves bytes: a request body read from the server, an upload
// written to its file, an answer read and sent. One size for all three: each is a copy between
// the server and a file, and 64 KiB keeps a request's buffers small while a large body or answer
// still goes in few calls.
#ifndef KARVEL_GATEWAY_IO_BLOCK_H
#define KARVEL_GATEWAY_IO_BLOCK_H

#include <cstdint>

constexpr uint32_t GATEWAY_BLOCK_BYTES = 65536;

#endif  // KARVEL_GATEWAY_IO_BLOCK_H
