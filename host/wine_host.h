// Running Windows back-end programs under Wine: the server user's prefix, its persistent
// wineserver, and what a program started through the Wine loader is given. Plain POSIX; no Apache.
#ifndef KARVEL_HOST_WINE_HOST_H
#define KARVEL_HOST_WINE_HOST_H

#include <string>
#include <vector>

struct WineSettings {
  const char* szLoader;  // the Wine loader ("/usr/bin/wine"); nullptr when Wine is not installed
  const char* szPrefix;  // the server user's prefix, made by karvel-wine-setup
};

// The loader where Wine is installed, else nullptr.
const char* InstalledWineLoader();

// Why a Windows program cannot run under `wine` now ("" when it can): Wine missing, the prefix not
// made (or not the server user's).
std::string WineUnavailable(const WineSettings& wine);

// What a program under Wine gets besides the site's environment: the prefix, no Wine debug output,
// and a Japanese locale, so that the program's ANSI code page is 932 (Shift-JIS).
void AddWineEnvironment(const WineSettings& wine, std::vector<std::string>* environment);

// Starts the prefix's persistent wineserver and Wine's own services (once; about a second) with
// no descriptor of the caller's, so that no program of a request has to start the services and
// none of them holds a request's standard error. Returns the caller's claim on the wineserver (a
// descriptor holding a shared lock in the prefix), or -1 when it did not start.
int StartWineServer(const WineSettings& wine);

// Gives up the claim. The last server to let go (a graceful restart's old and new spawner, or
// two servers of one user, share the prefix) stops the wineserver and every Wine process of the
// prefix, and waits for them.
void StopWineServer(const WineSettings& wine, int claim);

#endif  // KARVEL_HOST_WINE_HOST_H
