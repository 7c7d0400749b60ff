// Running Windows back-end programs under Wine: the server user's prefix, its persistent
// wineserver, and what a program started through the Wine loader is given. Plain POSIX; no Apache.
#ifndef KARVEL_HOST_WINE_HOST_H
#define KARVEL_HOST_WINE_HOST_H

#include <string>
#include <vector>

struct WineSettings {
  const char* loader;      // the Wine loader ("/usr/bin/wine"); nullptr when Wine is not installed
  const char* prefix;      // the server user's prefix, made by karvel-wine-setup
};

// Wine joins a program's arguments and splits them again at blanks: a path holding one would
// reach a program under Wine cut in two.
bool PathSplitsUnderWine(const char* path);

// The loader where Wine is installed, else nullptr.
const char* InstalledWineLoader();

// The loader a program of the given kind (64-bit or not) starts fastest with: Wine's own 64-bit or
// 32-bit loader where it is installed (the `wine` script would pick one by trying), else
// `wine.loader`.
const char* LoaderFor(const WineSettings& wine, bool windows64);

// Why a Windows program cannot run under `wine` now ("" when it can): Wine missing, the prefix not
// made (or not the server user's).
std::string WineUnavailable(const WineSettings& wine);

// What a program under Wine gets besides the site's environment: the prefix, its loader, no Wine
// debug output, and a Japanese locale, so that the program's ANSI code page is 932 (Shift-JIS).
void AddWineEnvironment(const WineSettings& wine, const char* loader, std::vector<std::string>* environment);

// Makes the Windows directories of `lines` ("C:\apps|/srv/karvel/backends", one a line) lie where
// they stand for inside the prefix, so a program that opens "C:\apps\data.ini" finds it: a link at
// drive_c/apps, or for another drive letter a drive of the prefix's own (drive_d) holding the link;
// a whole drive ("D:\") becomes the letter's link itself. Nothing the prefix does not own is
// changed: an existing directory, or a letter that leads out of the prefix, stays as it is.
void LinkWindowsPaths(const WineSettings& wine, const std::string& lines);

// The prefix a site's Windows programs run in. A prefix has one set of drive links, read by every
// program in it, so a site whose KarvelWindowsPath lines (`lines`) map Windows directories gets a
// prefix of its own, inside the server's: "<prefix>/karvel-sites/<hash of the lines>". Its links
// are made once, before its first program, and never re-pointed, so each site's programs (and its
// file answers) see its own mapping whatever ran before, also with requests of several sites at
// once. Sites of the same lines share one. A site without lines uses the server's prefix.
std::string SitePrefix(const char* prefix, const std::string& lines);

// Makes the site's prefix `site` (SitePrefix) unless it is there: its own drive C: holding the
// links of `lines` (LinkWindowsPaths) and links to the server's drive C: for everything else
// (windows, users, ...), drive Z: the root, and copies of the server's registry. Made under a
// temporary name and renamed into place, so a half-made prefix is never used. False when it
// cannot be made.
bool MakeSitePrefix(const WineSettings& wine, const std::string& site, const std::string& lines);

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
