// The settings an operator gives one site, virtual host or <Location>, merged the Apache way
// (the inner section's setting wins), and handed to the extension per request as server variables
// of names the host defines.
#ifndef KARVEL_HOST_SITE_SETTINGS_H
#define KARVEL_HOST_SITE_SETTINGS_H

#include <httpd.h>
#include <http_config.h>

struct SiteSettings {
  int nMaxFields;  // KarvelMaxFields; -1 while unset
};

void* CreateSiteSettings(apr_pool_t* pool, char* directory);
void* MergeSiteSettings(apr_pool_t* pool, void* base, void* inner);

// KarvelMaxFields N: fields a request may send (0: no limit).
const char* SetMaxFields(cmd_parms* cmd, void* settings, const char* value);

// The value of setting variable `name` ("KARVEL_MAX_FIELDS") for request `r`, in its pool; nullptr
// when `name` is no setting or it is not set (the extension then takes its default).
const char* SiteSettingVariable(request_rec* r, const char* name);

#endif  // KARVEL_HOST_SITE_SETTINGS_H
