// The directories of exchange files and uploads (KarvelTempDir, KarvelUploadDir) that do not
// exist yet when the configuration is read. Such a directory often lies in memory (/run/karvel)
// and goes with every reboot; where nothing makes it at boot (no systemd to read tmpfiles.d), the
// server makes it as it starts: the last part of the path only, in a directory that exists, of
// mode 0700 and the server's user, as tmpfiles.d would. A configuration check makes nothing.
#ifndef KARVEL_HOST_REQUEST_DIRECTORIES_H
#define KARVEL_HOST_REQUEST_DIRECTORIES_H

#include <httpd.h>
#include <http_config.h>

// Before each reading of the configuration: nothing noted.
void ForgetMissingRequestDirectories();
// `path` (absolute), named by the directive being read, is no directory: noted to be made when
// its parent is a directory (nullptr then), else the directive's refusal.
const char* NoteMissingRequestDirectory(cmd_parms* cmd, const char* path);
// Makes what was noted and is still missing; false (logged) when one cannot be made.
bool MakeMissingRequestDirectories(server_rec* server);

#endif  // KARVEL_HOST_REQUEST_DIRECTORIES_H
