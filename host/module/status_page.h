// The pages of SetHandler karvel-status (the spawner's state as an HTML table, or with ?auto as
// the spawner's own "Name: value" lines, as mod_status offers Apache's) and karvel-health.
#ifndef KARVEL_HOST_STATUS_PAGE_H
#define KARVEL_HOST_STATUS_PAGE_H

#include <httpd.h>

// The handler's result: OK, 405 for other methods than GET, 503 when there is no spawner.
int ShowSpawnerStatus(request_rec* r);

// The page of SetHandler karvel-health, for load balancers: "OK" (200) while this server can start
// back-end programs (its spawner answers, or it starts them without one), else 503; GET and HEAD
// only. No program runs for it.
int ShowHealth(request_rec* r);

#endif  // KARVEL_HOST_STATUS_PAGE_H
