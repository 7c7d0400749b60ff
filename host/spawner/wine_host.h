// Running Windows back-end programs under Wine: the prefixes (the server user's, and each site
// user's own), their persistent wineservers, and what a program started through the Wine loader is
// given. Plain POSIX; no Apache.
//
// Wine insists that a prefix belongs to the user who runs in it. The server user's prefix is the
// spawner's own; a site with its own user (KarvelUserGroup) has a prefix of that user's
// (KarvelWinePrefix in its <VirtualHost>, made by karvel-wine-setup --user), never the server
// user's. The spawner runs one wineserver per prefix, as the prefix's user, and does as that user
// whatever it writes there (switch_user.h, as_site_user.h): the claim on the wineserver (a lock
// file in the prefix, opened by a child that became the user and handed back to the spawner, so
// that the spawner holds it as it holds the claim on its own prefix) and a site's sub-prefix
// (SitePrefix). The server's children (the server's user) only pass through a user's prefix, to
// read its drive links: karvel-wine-setup leaves it 0711.
#ifndef KARVEL_HOST_WINE_HOST_H
#define KARVEL_HOST_WINE_HOST_H

#include <string>
#include <vector>

struct SiteUser;

struct WineSettings {
  const char* loader;      // the Wine loader ("/usr/bin/wine"); nullptr when Wine is not installed
  const char* prefix;      // the prefix, made by karvel-wine-setup; a site user's may be unset ("")
  // Whose prefix it is, and who runs its wineserver and programs: nullptr the spawner's own user
  // (the server's prefix); else a site's user (its own prefix).
  const SiteUser* user = nullptr;
};

// The value a site with its own user but no prefix of its own is given as its prefix: a path that
// never names a prefix. Its Windows programs are still Windows programs (and refused by the
// spawner, which says why); its Windows answer paths map through no prefix.
constexpr const char* kNoWinePrefix = "/nonexistent";

// Wine joins a program's arguments and splits them again at blanks: a path holding one would
// reach a program under Wine cut in two.
bool PathSplitsUnderWine(const char* path);

// The loader where Wine is installed, else nullptr.
const char* InstalledWineLoader();

// The loader a program of the given kind (64-bit or not) starts fastest with: Wine's own 64-bit or
// 32-bit loader where it is installed (the `wine` script would pick one by trying), else
// `wine.loader`.
const char* LoaderFor(const WineSettings& wine, bool windows64);

// Why a Windows program cannot run under `wine` now ("" when it can): Wine missing, a site user
// without a prefix of its own, the prefix not made, closed to the server's user, or not its user's.
std::string WineUnavailable(const WineSettings& wine);

// The Wine a site's programs run under: the server's (`server`) for a site without a user of its
// own; else its user's own prefix, run as that user (an unset prefix stays unset: never the
// server's). The result lives as long as `server` and `user`.
WineSettings WineOfSite(const WineSettings& server, const SiteUser* user);

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

// Makes the site's prefix `site` (SitePrefix) unless it is there, as the prefix's user (a site
// user's sub-prefix and the directory holding it are left 0711, as its prefix, so that the
// server's children can read its drive links): its own drive C: holding the
// links of `lines` (LinkWindowsPaths) and links to the server's drive C: for everything else
// (windows, users, ...), drive Z: the root, and copies of the server's registry. Made under a
// temporary name and renamed into place, so a half-made prefix is never used. False when it
// cannot be made.
bool MakeSitePrefix(const WineSettings& wine, const std::string& site, const std::string& lines);

// Starts the prefix's persistent wineserver and Wine's own services (once; about a second) as the
// prefix's user, with no descriptor of the caller's, so that no program of a request has to start
// the services and none of them holds a request's standard error. Returns the caller's claim on
// the wineserver (a descriptor holding a shared lock on a file in the prefix, opened as the
// prefix's user), or -1 when it did not start. A claim that cannot be had within
// kWineClaimWaitMs (another server stops the wineserver, or a program of the prefix's user holds
// the lock) fails the start: the spawner never waits longer than that.
constexpr int kWineClaimWaitMs = 70000;
int StartWineServer(const WineSettings& wine);

// Gives up the claim. The last server to let go (a graceful restart's old and new spawner, or
// two servers of one user, share the prefix) stops the wineserver and every Wine process of the
// prefix, and waits for them.
void StopWineServer(const WineSettings& wine, int claim);

// One prefix a site's programs run in, as the configuration names it.
struct PrefixUse {
  std::string prefix;
  std::string user;   // "": the server's user
  std::string where;  // the site, for the refusal
};

// Why these prefixes cannot serve as named ("" when they can): a prefix belongs to one user, so
// two sites of different users (or a site's user and the server's) may not share one, nor lie one
// inside the other (a site's sub-prefix lies inside its prefix).
std::string PrefixesClash(const std::vector<PrefixUse>& uses);

#endif  // KARVEL_HOST_WINE_HOST_H
