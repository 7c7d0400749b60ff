#include "host/site_settings.h"

#include <cstring>

#include <apr_strings.h>

extern "C" module AP_MODULE_DECLARE_DATA karvel_module;

void* CreateSiteSettings(apr_pool_t* pool, char*) {
  auto* settings = static_cast<SiteSettings*>(apr_pcalloc(pool, sizeof(SiteSettings)));
  settings->nMaxFields = -1;
  return settings;
}

void* MergeSiteSettings(apr_pool_t* pool, void* baseSettings, void* innerSettings) {
  const auto* base = static_cast<const SiteSettings*>(baseSettings);
  const auto* inner = static_cast<const SiteSettings*>(innerSettings);
  auto* merged = static_cast<SiteSettings*>(apr_pcalloc(pool, sizeof(SiteSettings)));
  merged->nMaxFields = inner->nMaxFields >= 0 ? inner->nMaxFields : base->nMaxFields;
  return merged;
}

const char* SetMaxFields(cmd_parms* cmd, void* settings, const char* value) {
  char* end = nullptr;
  const apr_int64_t count = apr_strtoi64(value, &end, 10);
  if (end == value || *end != '\0' || count < 0 || count > 999999999) {
    return apr_pstrcat(cmd->pool, "KarvelMaxFields: not a number of fields from 0 to 999999999: ", value, nullptr);
  }
  static_cast<SiteSettings*>(settings)->nMaxFields = static_cast<int>(count);
  return nullptr;
}

const char* SiteSettingVariable(request_rec* r, const char* name) {
  const auto* settings = static_cast<const SiteSettings*>(ap_get_module_config(r->per_dir_config, &karvel_module));
  if (settings == nullptr) return nullptr;
  if (std::strcmp(name, "KARVEL_MAX_FIELDS") == 0 && settings->nMaxFields >= 0) {
    return apr_psprintf(r->pool, "%d", settings->nMaxFields);
  }
  return nullptr;
}
