// The page of SetHandler karvel-status: the spawner's state as an HTML table, or with ?auto as
// the spawner's own "Name: value" lines, as mod_status offers Apache's.
#ifndef KARVEL_HOST_STATUS_PAGE_H
#define KARVEL_HOST_STATUS_PAGE_H

#include <httpd.h>

// The handler's result: OK, 405 for other methods than GET, 503 when there is no spawner.
int ShowSpawnerStatus(request_rec* r);

#endif  // KARVEL_HOST_STATUS_PAGE_H
