#include "host/module/site_wine.h"

#include <string>
#include <vector>

#include <apr_strings.h>

#include "host/module/site_users.h"
#include "host/module/spawner_link.h"
#include "host/spawner/wine_host.h"

namespace {

const char* SiteName(apr_pool_t* pool, const server_rec* s) {
  if (!s->is_virtual) return "the main server";
  return apr_psprintf(pool, "the virtual host %s (%s:%d)", s->server_hostname != nullptr ? s->server_hostname : "",
                      s->defn_name != nullptr ? s->defn_name : "", s->defn_line_number);
}

}  // namespace

void InitSiteWineSettings(SiteWineSettings* settings) { *settings = SiteWineSettings{nullptr, nullptr, nullptr, false}; }

void MergeSiteWineSettings(const SiteWineSettings& base, const SiteWineSettings& host, bool hostNamesUser,
                           SiteWineSettings* merged) {
  merged->szOwnPrefix = host.szOwnPrefix;
  merged->szOwnAt = host.szOwnAt;
  merged->bUserHere = hostNamesUser;
  merged->szUserPrefix = hostNamesUser ? host.szOwnPrefix : base.szUserPrefix;
}

void NoteWinePrefix(server_rec* server, const char* path, const char* definedAt) {
  SiteWineSettings* settings = SiteWineSettingsOf(server);
  settings->szOwnPrefix = path;
  settings->szOwnAt = definedAt;
  // The main server's section is merged with nothing: its user's prefix is its own line.
  settings->szUserPrefix = path;
}

const char* SiteWinePrefix(server_rec* site) {
  const char* server = WinePrefixInUse();
  if (server == nullptr || SiteUserSettingsOf(site)->szUser == nullptr) return server;
  const char* own = SiteWineSettingsOf(site)->szUserPrefix;
  return own != nullptr ? own : kNoWinePrefix;
}

const char* CheckSiteWinePrefixes(apr_pool_t* pool, server_rec* main, const char* serverPrefix) {
  std::vector<PrefixUse> uses;
  for (server_rec* s = main; s != nullptr; s = s->next) {
    const SiteWineSettings* wine = SiteWineSettingsOf(s);
    const SiteUserSettings* user = SiteUserSettingsOf(s);
    const char* where = SiteName(pool, s);
    if (s->is_virtual && wine->szOwnPrefix != nullptr && !wine->bUserHere) {
      return apr_psprintf(pool,
                          "KarvelWinePrefix %s at %s, for %s: a virtual host's prefix is its own user's, and it names "
                          "no KarvelUserGroup of its own (its programs run in the main server's prefix)",
                          wine->szOwnPrefix, wine->szOwnAt, where);
    }
    if (user->szUser == nullptr) {
      uses.push_back(PrefixUse{serverPrefix, "", where});
    } else if (wine->szUserPrefix != nullptr) {
      uses.push_back(PrefixUse{wine->szUserPrefix, user->szUser, where});
    }
  }
  const std::string clash = PrefixesClash(uses);
  return clash.empty() ? nullptr : apr_pstrcat(pool, "KarvelWinePrefix: ", clash.c_str(), nullptr);
}
