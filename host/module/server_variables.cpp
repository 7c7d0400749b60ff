#include "host/module/server_variables.h"

#include <cstring>

#include <apr_lib.h>
#include <apr_strings.h>
#include <http_core.h>
#include <http_ssl.h>

#include "host/module/site_settings.h"

namespace {
// Credentials stay with Apache's authentication, as they do for its CGI programs.
bool IsCredentialHeader(const char* name) {
  return strcasecmp(name, "Authorization") == 0 || strcasecmp(name, "Proxy-Authorization") == 0;
}

// "User-Agent" -> "HTTP_USER_AGENT".
char* HttpVariableName(apr_pool_t* pool, const char* header) {
  char* name = apr_pstrcat(pool, "HTTP_", header, nullptr);
  for (char* p = name + 5; *p != '\0'; ++p) {
    *p = apr_isalnum(*p) ? static_cast<char>(apr_toupper(*p)) : '_';
  }
  return name;
}

struct HeaderListing {
  apr_pool_t* pPool;
  bool bRaw;               // ALL_RAW ("Name: value\r\n") rather than ALL_HTTP ("HTTP_NAME:value\n")
  apr_array_header_t* pParts;
};

int AddHeaderLine(void* data, const char* key, const char* value) {
  auto* listing = static_cast<HeaderListing*>(data);
  if (IsCredentialHeader(key)) return 1;
  const char* line = listing->bRaw ? apr_pstrcat(listing->pPool, key, ": ", value, "\r\n", nullptr)
                                   : apr_pstrcat(listing->pPool, HttpVariableName(listing->pPool, key), ":",
                                                 value, "\n", nullptr);
  *static_cast<const char**>(apr_array_push(listing->pParts)) = line;
  return 1;
}

const char* ListHeaders(request_rec* r, bool raw) {
  HeaderListing listing{r->pool, raw, apr_array_make(r->pool, 16, sizeof(const char*))};
  apr_table_do(AddHeaderLine, &listing, r->headers_in, nullptr);
  return apr_array_pstrcat(r->pool, listing.pParts, '\0');
}

struct HeaderSearch {
  apr_pool_t* pPool;
  const char* szWanted;  // HTTP_ name asked for
  const char* szFound;
};

int MatchHeader(void* data, const char* key, const char* value) {
  auto* search = static_cast<HeaderSearch*>(data);
  if (IsCredentialHeader(key)) return 1;
  if (std::strcmp(HttpVariableName(search->pPool, key), search->szWanted) != 0) return 1;
  search->szFound = value;
  return 0;
}

const char* OrEmpty(const char* value) { return value != nullptr ? value : ""; }

const char* Number(apr_pool_t* pool, long value) { return apr_psprintf(pool, "%ld", value); }
}  // namespace

const char* LookupServerVariable(request_rec* r, const ScriptPaths* paths, const char* name) {
  conn_rec* c = r->connection;
  const bool secure = ap_ssl_conn_is_ssl(c) != 0;
  // Computed only for the name asked, so REMOTE_ADDR costs one comparison walk.
  auto is = [name](const char* candidate) { return std::strcmp(name, candidate) == 0; };
  // The site's settings first, so that nothing else can stand in for them.
  if (std::strncmp(name, "KARVEL_", 7) == 0) return SiteSettingVariable(r, name);
  if (is("REMOTE_ADDR")) return r->useragent_ip;
  if (is("REMOTE_USER") || is("AUTH_USER") || is("LOGON_USER") || is("UNMAPPED_REMOTE_USER")) return OrEmpty(r->user);
  if (is("REQUEST_METHOD")) return r->method;
  if (is("QUERY_STRING")) return OrEmpty(r->args);
  if (is("CONTENT_TYPE")) return OrEmpty(apr_table_get(r->headers_in, "Content-Type"));
  if (is("CONTENT_LENGTH")) return OrEmpty(apr_table_get(r->headers_in, "Content-Length"));
  if (is("PATH_INFO")) return paths->szPathInfo;
  if (is("PATH_TRANSLATED")) return paths->szPathTranslated;
  if (is("SCRIPT_NAME")) return paths->szScriptName;
  if (is("URL")) return r->uri;
  if (is("REQUEST_URI")) return r->unparsed_uri;
  if (is("SERVER_NAME")) return ap_get_server_name_for_url(r);
  if (is("SERVER_PORT")) return Number(r->pool, static_cast<long>(ap_get_server_port(r)));
  if (is("SERVER_PORT_SECURE")) return secure ? "1" : "0";
  if (is("HTTPS")) return secure ? "on" : "off";
  if (is("SERVER_PROTOCOL")) return r->protocol;
  if (is("SERVER_SOFTWARE")) return ap_get_server_banner();
  if (is("GATEWAY_INTERFACE")) return "CGI/1.1";
  if (is("AUTH_TYPE")) return OrEmpty(r->ap_auth_type);
  if (is("REMOTE_HOST")) return OrEmpty(ap_get_useragent_host(r, REMOTE_NAME, nullptr));
  if (is("REMOTE_PORT")) return Number(r->pool, r->useragent_addr ? r->useragent_addr->port : 0);
  if (is("LOCAL_ADDR")) return c->local_ip;
  if (is("ALL_HTTP")) return ListHeaders(r, false);
  if (is("ALL_RAW")) return ListHeaders(r, true);
  if (std::strncmp(name, "HTTP_", 5) == 0) {
    HeaderSearch search{r->pool, name, nullptr};
    apr_table_do(MatchHeader, &search, r->headers_in, nullptr);
    if (search.szFound != nullptr) return search.szFound;
  }
  // Set by the configuration or by other modules (SetEnv, mod_ssl's SSL_*, UNIQUE_ID ...).
  return apr_table_get(r->subprocess_env, name);
}
