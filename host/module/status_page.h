// The pages of SetHandler karvel-status (the server's lasting status board as HTML tables, with
// ?auto as "Name: value" lines as mod_status offers Apache's, with ?json as one JSON object),
// mod_status's section of /server-status, and karvel-health.
#ifndef KARVEL_HOST_STATUS_PAGE_H
#define KARVEL_HOST_STATUS_PAGE_H

#include <httpd.h>

// The handler's result: OK, 405 for other methods than GET, 503 when the server has no board.
int ShowSpawnerStatus(request_rec* r);

// mod_status's status_hook: the board's lines ("Karvel..." with AP_STATUS_SHORT, else an HTML
// section). OK.
int ShowInServerStatus(request_rec* r, int flags);

// The page of SetHandler karvel-health, for load balancers: "OK" (200) while this server can start
// back-end programs (its spawner answers, or it starts them without one), else 503; GET and HEAD
// only. No program runs for it.
int ShowHealth(request_rec* r);

#endif  // KARVEL_HOST_STATUS_PAGE_H
