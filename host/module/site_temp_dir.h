// The temporary directory of a site whose programs run as its own user: "site-USER" below the
// request's temporary directory, made on first use by the server's user, mode 0770 and no group:
// POSIX ACLs let in the server's user and the site's, nobody else. Its default ACL gives both of
// them every file made inside (exchange files, upload directories, the answer a program renames
// over its file), whatever the program's umask; other sites' programs cannot enter it.
#ifndef KARVEL_HOST_SITE_TEMP_DIR_H
#define KARVEL_HOST_SITE_TEMP_DIR_H

#include <sys/types.h>

#include <string>

// The site's directory below `base` for `user` (its name) into *path. True when it is there and the
// server's own (made now where it was missing); false with *why (the path is still given: a
// request that uses it fails, rather than fall back to a directory other sites share).
bool PrepareSiteTempDirectory(const char* base, const char* user, uid_t siteUid, std::string* path, std::string* why);

#endif  // KARVEL_HOST_SITE_TEMP_DIR_H
