#include "host/module/status_counts.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <apr_strings.h>
#include <ap_mpm.h>
#include <http_config.h>
#include <http_log.h>
#include <unixd.h>

#include "host/module/site_settings.h"

extern "C" {
extern module AP_MODULE_DECLARE_DATA karvel_module;
}
APLOG_USE_MODULE(karvel);

namespace {
constexpr const char* kRetainedKey = "karvel-status-board";
// The note that marks a request that went through the extension (none leaves the host).
constexpr const char* kThroughNote = "karvel-through";

// Kept by the parent across the reloads of the module a restart makes.
struct RetainedBoard {
  StatusBoard* board;
};

StatusBoard* g_board = nullptr;

const char* NoteOrNull(const request_rec* r, const char* name) { return apr_table_get(r->notes, name); }
}  // namespace

StatusBoard* KeepStatusBoard(server_rec* server) {
  auto* retained = static_cast<RetainedBoard*>(ap_retained_data_get(kRetainedKey));
  if (retained == nullptr) {
    retained = static_cast<RetainedBoard*>(ap_retained_data_create(kRetainedKey, sizeof(RetainedBoard)));
    retained->board = nullptr;
  }
  const bool made = retained->board == nullptr;
  if (made) retained->board = CreateStatusBoard();
  g_board = retained->board;
  if (g_board == nullptr) {
    ap_log_error(APLOG_MARK, APLOG_ERR, errno, server, "karvel: no shared memory for the status board; requests go uncounted");
    return nullptr;
  }
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  // The MPM notes how the last generation ended (graceful or not) when its pool went.
  if (made || !ap_unixd_mpm_get_retained_data()->was_graceful) ResetStatusCounts(g_board, now);
  g_board->restartedAtSeconds = now;
  int generation = 0;
  ap_mpm_query(AP_MPMQ_GENERATION, &generation);
  g_board->generation = static_cast<uint64_t>(generation);
  return g_board;
}

StatusBoard* ServerStatusBoard() { return g_board; }

void MarkExtensionRequest(request_rec* r) { apr_table_setn(r->notes, kThroughNote, "1"); }

int CountRequestOnBoard(request_rec* r) {
  if (g_board == nullptr) return DECLINED;
  request_rec* first = r;
  while (first->prev != nullptr) first = first->prev;
  for (request_rec* q = first; q != nullptr; q = q->next) {
    if (NoteOrNull(q, kThroughNote) == nullptr) continue;
    const auto* site = static_cast<const SiteSettings*>(ap_get_module_config(q->per_dir_config, &karvel_module));
    const char* label = NoteOrNull(q, "karvel-backend");
    const char* result = NoteOrNull(q, "karvel-result");
    const char* wait = NoteOrNull(q, "karvel-wait-ms");
    // A program ran where its wait was noted (it answered, or the wait ended otherwise) or its
    // request left it without a word.
    const bool started = wait != nullptr || (result != nullptr && std::strcmp(result, "abandoned") == 0);
    CountRequest(g_board, site != nullptr && site->szBackendDir != nullptr ? site->szBackendDir : "",
                 label != nullptr ? label : "", result, wait != nullptr ? apr_atoi64(wait) : -1, started);
    break;
  }
  return DECLINED;
}
