// Keeping the server's status board (status_board.h) in Apache: made once in the parent and kept
// over graceful restarts in retained data, and every request through the extension counted on
// it once, as the access log logs it.
#ifndef KARVEL_HOST_STATUS_COUNTS_H
#define KARVEL_HOST_STATUS_COUNTS_H

#include <httpd.h>

#include "host/module/status_board.h"

// post_config, in the parent: the board, made at the server's first start; its counts begin
// again after a full restart (SIGHUP, or a stop and start) and stay over a graceful one. nullptr
// when it cannot be made (logged; requests then go uncounted).
StatusBoard* KeepStatusBoard(server_rec* server);

// The board of this generation (inherited by children and spawners); nullptr before post_config.
StatusBoard* ServerStatusBoard();

// handler hook, before the extension's: marks the request as one through the extension.
void MarkExtensionRequest(request_rec* r);

// log_transaction: counts the request once, from the notes of the request in its chain (internal
// redirects, ErrorDocument) that went through the extension: karvel-backend, karvel-result and
// karvel-wait-ms. DECLINED always.
int CountRequestOnBoard(request_rec* r);

#endif  // KARVEL_HOST_STATUS_COUNTS_H
