#include "host/module/failure_report.h"

#include <cerrno>

#include <apr_strings.h>
#include <http_core.h>
#include <http_log.h>
#include <http_protocol.h>
#include <mod_core.h>  // ap_response_code_string: the ErrorDocument for a status

#include "host/module/spawner_link.h"

APLOG_USE_MODULE(karvel);

namespace {

// The longest result word and program name taken from an extension: a note is a log field.
constexpr size_t kResultBytes = 32;
constexpr size_t kProgramBytes = 512;
constexpr size_t kReasonBytes = 256;

const char* Bounded(apr_pool_t* pool, LPCSTR text, size_t limit) {
  return text != nullptr ? apr_pstrndup(pool, text, limit) : nullptr;
}

// The errno a Win32 error code of the extension's stands for (0 when none is known): the codes
// our platform layer makes of errno values, back again.
int ErrnoOfWin32Error(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return ENOENT;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_ACCESS_DENIED: return EACCES;
    case ERROR_NOT_ENOUGH_MEMORY: return ENOMEM;
    case ERROR_BAD_FORMAT: return ENOEXEC;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_FILE_EXISTS: return EEXIST;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    case ERROR_FILE_TOO_LARGE: return EFBIG;
    default: return 0;
  }
}

}  // namespace

int TakeFailureReport(request_rec* r, const KARVEL_REQUEST_FAILURE& failure, bool alreadyLogged) {
  const char* result = Bounded(r->pool, failure.pszResult, kResultBytes);
  if (result != nullptr && result[0] != '\0') apr_table_setn(r->notes, "karvel-result", result);
  const char* program = Bounded(r->pool, failure.pszProgram, kProgramBytes);
  // The host's own label, where it started the program, is the same name: it stays.
  if (program != nullptr && program[0] != '\0' && apr_table_get(r->notes, "karvel-backend") == nullptr) {
    apr_table_setn(r->notes, "karvel-backend", program);
  }
  const char* text = Bounded(r->pool, failure.pszText, kReasonBytes);
  const char* reason = Bounded(r->pool, failure.pszReason, kReasonBytes);
  const int error = ErrnoOfWin32Error(failure.dwError);
  // A client that left is no failure of the server's: told at info, not warn.
  const int level = text != nullptr ? APLOG_WARNING : APLOG_INFO;
  if (!alreadyLogged) {
    // The program's name comes from the form: Apache's error log escapes what it writes.
    ap_log_rerror(APLOG_MARK, level, error != 0 ? APR_FROM_OS_ERROR(error) : APR_SUCCESS, r,
                  "karvel: %s for %s [%s]: %s", text != nullptr ? text : "no reply",
                  program != nullptr && program[0] != '\0' ? program : "(no program)", RequestLogId(r),
                  reason != nullptr ? reason : "-");
  }
  const int status = static_cast<int>(failure.dwStatus);
  if (text == nullptr || failure.bErrorDocument == FALSE || status < 400 || status > 599) return 0;
  if (status == HTTP_SERVICE_UNAVAILABLE) apr_table_setn(r->err_headers_out, "Retry-After", "10");
  return ap_response_code_string(r, ap_index_of_response(status)) != nullptr ? status : 0;
}

void TakeWarningReport(request_rec* r, const KARVEL_REQUEST_WARNING& warning) {
  const char* text = Bounded(r->pool, warning.pszText, kReasonBytes);
  const char* path = Bounded(r->pool, warning.pszPath, kProgramBytes);
  const int error = ErrnoOfWin32Error(warning.dwError);
  // A code with no errno of its own is still given, as the extension's.
  const char* code = error == 0 && warning.dwError != 0
                         ? apr_psprintf(r->pool, " (error %lu)", static_cast<unsigned long>(warning.dwError))
                         : "";
  ap_log_rerror(APLOG_MARK, APLOG_WARNING, error != 0 ? APR_FROM_OS_ERROR(error) : APR_SUCCESS, r,
                "karvel: %s%s%s%s [%s]", text != nullptr ? text : "warning", path != nullptr ? ": " : "",
                path != nullptr ? path : "", code, RequestLogId(r));
}
