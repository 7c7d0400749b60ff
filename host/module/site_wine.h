// KarvelWinePrefix per site: the server's prefix (the main server's line, the server user's), and
// the prefix of a site with its own user (the line beside its KarvelUserGroup, that user's own,
// made by karvel-wine-setup --user). A site's user never runs in the server user's prefix: Wine
// refuses a prefix of another user, and the server's user must not share its prefix with a site.
#ifndef KARVEL_HOST_SITE_WINE_H
#define KARVEL_HOST_SITE_WINE_H

#include <httpd.h>
#include <http_config.h>

// What one server (main or virtual host) says of its Wine prefix.
struct SiteWineSettings {
  const char* szOwnPrefix;   // KarvelWinePrefix in this server's own section; nullptr while unset
  const char* szOwnAt;       // "FILE:LINE" of that line
  const char* szUserPrefix;  // the prefix given with the site's KarvelUserGroup; nullptr: none
  bool bUserHere;            // the server's section names a KarvelUserGroup of its own
};

void InitSiteWineSettings(SiteWineSettings* settings);
// A virtual host's user's prefix goes with its user: its own line where it names its own user,
// else the main server's (whose user it runs as).
void MergeSiteWineSettings(const SiteWineSettings& base, const SiteWineSettings& host, bool hostNamesUser,
                           SiteWineSettings* merged);

// The server's settings (mod_karvel's per-server configuration holds them).
SiteWineSettings* SiteWineSettingsOf(server_rec* server);

// KarvelWinePrefix `path` read in a section of `server`, at `definedAt`.
void NoteWinePrefix(server_rec* server, const char* path, const char* definedAt);

// The prefix the site's Windows programs run in: its user's own, kNoWinePrefix where its user
// has none, or for a site without its own user the server's (WinePrefixInUse: nullptr without a
// spawner).
const char* SiteWinePrefix(server_rec* site);

// The rules of the prefixes no program decides: a virtual host's KarvelWinePrefix only beside its
// own KarvelUserGroup, and no prefix of two users (PrefixesClash). nullptr, or the refusal.
const char* CheckSiteWinePrefixes(apr_pool_t* pool, server_rec* main, const char* serverPrefix);

#endif  // KARVEL_HOST_SITE_WINE_H
