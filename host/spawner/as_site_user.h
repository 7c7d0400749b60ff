// The spawner's own work in a site's Wine prefix, done as the site's user: Wine insists that a
// prefix belongs to whoever runs in it, so the prefix is the user's and the spawner's user may
// only pass through it. What must be written there (a site's own sub-prefix, the claim on its
// wineserver) is done in a child process that became the user (switch_user.h) and that the spawner
// waits for; a descriptor the child opened comes back over a socket. Linux only; no Apache.
#ifndef KARVEL_HOST_AS_SITE_USER_H
#define KARVEL_HOST_AS_SITE_USER_H

#include <sys/types.h>

#include "host/spawner/site_user.h"

// Runs work(context) in a child that became `user` and gave up every capability, and waits up to
// `timeoutMs` for it: true when work returned true. False when the child could not be made, could
// not become the user, or did not end in time (it is then killed). The child is a fork of the
// caller: work may use the caller's memory as it was, but what it changes there stays the child's.
bool RunAsSiteUser(const SiteUser& user, bool (*work)(void* context), void* context, int timeoutMs);

// open(path, flags | O_CLOEXEC | O_NOFOLLOW, mode) done as `user`: the descriptor, held by the
// caller, or -1 (errno EACCES where the child could not open it, else the failure's).
int OpenAsSiteUser(const SiteUser& user, const char* path, int flags, mode_t mode);

#endif  // KARVEL_HOST_AS_SITE_USER_H
