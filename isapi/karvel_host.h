// karvel's own contract between the extension and a host of ours (mod_karvel), beside ISAPI: the
// server variables that carry a site's settings, the server support requests through which the
// host starts and supervises back-end programs, and the host's last-error code. A host that knows
// none of it (IIS) answers FALSE to each: the extension then takes its settings from the
// environment and starts programs itself.
#ifndef KARVEL_ISAPI_KARVEL_HOST_H
#define KARVEL_ISAPI_KARVEL_HOST_H

#include "isapi/httpext.h"

// The site's settings, as server variables the host defines for every request it hands the
// extension (and, under the same names, environment variables where the host has none). Each
// holds text: a path, a whole number of at most 9 digits, or a charset label. A host that leaves
// one out, or gives it empty, leaves it to the environment or the default.
#define KARVEL_SETTING_BACKEND_DIR "KARVEL_BACKEND_DIR"          // the only directory whose programs run
#define KARVEL_SETTING_TEMP_DIR "KARVEL_TEMP_DIR"                // exchange files and uploads (host only)
#define KARVEL_SETTING_UPLOAD_DIR "KARVEL_UPLOAD_DIR"            // uploads apart from them (host only)
#define KARVEL_SETTING_MAX_FIELDS "KARVEL_MAX_FIELDS"            // fields a form may send (0: no limit)
#define KARVEL_SETTING_BACKEND_TIMEOUT "KARVEL_BACKEND_TIMEOUT"  // time to wait for an answer: "1500ms", or seconds
#define KARVEL_SETTING_FORM_CHARSET "KARVEL_FORM_CHARSET"        // the site's form encoding
#define KARVEL_SETTING_WINE_PREFIX "KARVEL_WINE_PREFIX"          // where its Windows programs run
#define KARVEL_SETTING_WINDOWS_PATHS "KARVEL_WINDOWS_PATHS"      // lines "C:\apps|/srv/karvel/backends"
// Where the debug-copy build leaves its copy of each exchange file (host only): unset, beside the
// back-end program.
#define KARVEL_SETTING_DEBUG_COPY_DIR "KARVEL_DEBUG_COPY_DIR"
// "legacy" (error pages go with status 200, as they always did) or "http" (with the status that
// says what failed: 502, 504, 503, 413, 500, 400).
#define KARVEL_SETTING_ERROR_STATUS "KARVEL_ERROR_STATUS"

// The server support requests: a host that offers them starts the back-end programs itself and
// supervises them (mod_karvel's spawner); one that does not answers FALSE and the extension starts
// them itself, as it does under IIS. A host that offers them answers TRUE whatever becomes of the
// program, and one that has no spawner at the moment says so (KARVEL_SERVER_BUSY): the extension
// never starts a program itself there.
#define HSE_REQ_KARVEL_START_PROGRAM 0x4B560001u  // lpvBuffer: KARVEL_PROGRAM_START
#define HSE_REQ_KARVEL_PROGRAM_DONE 0x4B560002u   // lpvBuffer: KARVEL_PROGRAM_DONE
// Whether the program the host started still runs: *(DWORD*)lpvBuffer gets KARVEL_PROGRAM_RUNNING
// or KARVEL_PROGRAM_EXITED. With lpdwSize, the host first waits for the program's end at most
// *lpdwSize milliseconds.
#define HSE_REQ_KARVEL_PROGRAM_STATE 0x4B560003u
#define KARVEL_PROGRAM_RUNNING 1
#define KARVEL_PROGRAM_EXITED 2
// The program that had the request (a host's resident instance) said it has no answer, or ended
// without one: none will come, and the wait ends at once.
#define KARVEL_PROGRAM_UNANSWERED 3

#define KARVEL_PROGRAM_STARTED 1      // it runs
#define KARVEL_PROGRAM_NOT_STARTED 2  // it could not be started
#define KARVEL_SERVER_BUSY 3          // no slot (or no spawner) came in time: it did not run
#define KARVEL_CLIENT_GONE 4          // the client left while it waited for a slot: it did not run

struct KARVEL_PROGRAM_START {
  LPCSTR pszProgram;           // the resolved program, inside the back-end directory
  LPCSTR pszArgument;          // its one argument, the exchange file's path
  LPCSTR pszBackendDirectory;  // the directory it was resolved in
  LPCSTR pszUploadDirectory;   // the request's uploads, removed with the exchange file when it is stopped
  DWORD dwOutcome;             // out: KARVEL_PROGRAM_STARTED, _NOT_STARTED or KARVEL_SERVER_BUSY
  BOOL bUnderWine;             // in: the extension runs it as a Windows program under Wine (its
                               // site's KARVEL_WINE_PREFIX, its file a Windows program): the host
                               // checks this and refuses a start that does not hold, never decides
                               // otherwise on its own
};

// After the wait: whether the program answered, and how the wait ended ("1", "2", "4", "99",
// "timeout", "client-gone", "exited"). A program that did not answer is stopped where the site
// says so.
struct KARVEL_PROGRAM_DONE {
  BOOL bAnswered;
  LPCSTR pszResult;
};

// How a request failed, told by the extension just before it sends its error page (or, where
// nobody is left to read one, instead of it): the host notes it for the access log, logs it, and
// with bErrorDocument lets its own error document for dwStatus, where the site has one, replace the
// page. Every field may be null or 0.
#define HSE_REQ_KARVEL_FAILURE 0x4B560004u  // lpvBuffer: KARVEL_REQUEST_FAILURE

struct KARVEL_REQUEST_FAILURE {
  LPCSTR pszResult;    // the access log's word for it: "not-found", "timeout", "temp-error", ...
  LPCSTR pszText;      // the error page's text; null: no page is sent (the client has left)
  LPCSTR pszProgram;   // the program the form named, relative to the back-end directory where it
                       // lies inside it; null when the form named none
  LPCSTR pszReason;    // why, in the operator's words
  DWORD dwError;       // the system's error code behind it (a Win32 code), 0 when there is none
  DWORD dwStatus;      // the status the page goes with
  BOOL bErrorDocument; // the page may give way to the server's own error document for dwStatus
};

// Something the operator should know that does not fail the request (the debug copy that could
// not be written): the host writes one warn line of it in the request's own error log, with the
// client and the request's log id, and answers TRUE; the request goes on either way. A host that
// does not know it answers FALSE, and the warning is lost: it is a help, never a condition.
#define HSE_REQ_KARVEL_WARNING 0x4B560005u  // lpvBuffer: KARVEL_REQUEST_WARNING

struct KARVEL_REQUEST_WARNING {
  LPCSTR pszText;  // what went wrong, in the operator's words
  LPCSTR pszPath;  // the file or directory it concerns; may be null
  DWORD dwError;   // the system's error code behind it (a Win32 code), 0 when there is none
};

#ifndef _WIN32
// The error code of the host's last failed callback on this thread, as an extension on Windows
// reads it with GetLastError. An extension built with our platform layer keeps its own last-error
// slot, so on Linux the host exports this function for it.
extern "C" DWORD KarvelHostLastError(void);
#endif

#endif  // KARVEL_ISAPI_KARVEL_HOST_H
