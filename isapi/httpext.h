// The ISAPI types and constants that karvel uses, laid out field for field as the Windows SDK's
// <httpext.h> lays them out, so that a host built from this header and an extension built from it
// agree byte for byte. On Windows the SDK header itself serves.
#ifndef KARVEL_ISAPI_HTTPEXT_H
#define KARVEL_ISAPI_HTTPEXT_H

#include "platform/win32.h"

#ifdef _WIN32
#include <httpext.h>
#else

typedef void* HCONN;

#define HSE_VERSION_MAJOR 6
#define HSE_VERSION_MINOR 0
#define HSE_LOG_BUFFER_LEN 80
#define HSE_MAX_EXT_DLL_NAME_LEN 256

#define HSE_STATUS_SUCCESS 1
#define HSE_STATUS_SUCCESS_AND_KEEP_CONN 2
#define HSE_STATUS_PENDING 3
#define HSE_STATUS_ERROR 4

#define HSE_REQ_SEND_URL_REDIRECT_RESP 1
#define HSE_REQ_SEND_URL 2
#define HSE_REQ_SEND_RESPONSE_HEADER 3

// Sends a list of memory blocks and open files in one call; the host may send a file without
// copying it (sendfile). A file element's pvContext is a file HANDLE (see DescriptorOfHandle).
#define HSE_REQ_VECTOR_SEND 1037

#define HSE_IO_SYNC 0x00000001u
#define HSE_IO_ASYNC 0x00000002u
#define HSE_IO_DISCONNECT_AFTER_SEND 0x00000004u
#define HSE_IO_SEND_HEADERS 0x00000008u
#define HSE_IO_FINAL_SEND 0x00000010u

#define HSE_VECTOR_ELEMENT_TYPE_MEMORY_BUFFER 0
#define HSE_VECTOR_ELEMENT_TYPE_FILE_HANDLE 1

struct HSE_VECTOR_ELEMENT {
  DWORD ElementType;
  LPVOID pvContext;  // the bytes, or a file HANDLE
  ULONGLONG cbOffset;
  ULONGLONG cbSize;  // for a file, 0 means to its end
};
typedef HSE_VECTOR_ELEMENT* LPHSE_VECTOR_ELEMENT;

struct HSE_RESPONSE_VECTOR {
  DWORD dwFlags;     // HSE_IO_SYNC (this host has no other), HSE_IO_SEND_HEADERS ...
  LPSTR pszStatus;   // with HSE_IO_SEND_HEADERS: the status and the CGI-style header block
  LPSTR pszHeaders;
  DWORD nElementCount;
  LPHSE_VECTOR_ELEMENT lpElementArray;
};
typedef HSE_RESPONSE_VECTOR* LPHSE_RESPONSE_VECTOR;

struct HSE_VERSION_INFO {
  DWORD dwExtensionVersion;
  CHAR lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN];
};
typedef HSE_VERSION_INFO* LPHSE_VERSION_INFO;

struct EXTENSION_CONTROL_BLOCK {
  DWORD cbSize;            // size of this structure
  DWORD dwVersion;         // ISAPI version the server follows
  HCONN ConnID;            // the connection, first argument of every callback
  DWORD dwHttpStatusCode;  // status of the finished request
  CHAR lpszLogData[HSE_LOG_BUFFER_LEN];
  LPSTR lpszMethod;
  LPSTR lpszQueryString;
  LPSTR lpszPathInfo;
  LPSTR lpszPathTranslated;
  DWORD cbTotalBytes;      // length of the request body
  DWORD cbAvailable;       // body bytes already in lpbData
  LPBYTE lpbData;
  LPSTR lpszContentType;
  BOOL(WINAPI* GetServerVariable)(HCONN hConn, LPSTR lpszVariableName, LPVOID lpvBuffer,
                                  LPDWORD lpdwSize);
  BOOL(WINAPI* WriteClient)(HCONN ConnID, LPVOID Buffer, LPDWORD lpdwBytes, DWORD dwReserved);
  BOOL(WINAPI* ReadClient)(HCONN ConnID, LPVOID lpvBuffer, LPDWORD lpdwSize);
  BOOL(WINAPI* ServerSupportFunction)(HCONN hConn, DWORD dwHSERequest, LPVOID lpvBuffer,
                                      LPDWORD lpdwSize, LPDWORD lpdwDataType);
};
typedef EXTENSION_CONTROL_BLOCK* LPEXTENSION_CONTROL_BLOCK;

#endif  // _WIN32

#ifndef HSE_REQ_IS_CONNECTED
// Whether the client is still connected: *(BOOL*)lpvBuffer gets TRUE or FALSE.
#define HSE_REQ_IS_CONNECTED 1018
#endif

// Karvel's own server support requests (not ISAPI): a host that offers them starts the back-end
// programs itself and supervises them (mod_karvel's spawner); one that does not answers FALSE and
// the extension starts them itself, as it does under IIS. A host that offers them answers TRUE
// whatever becomes of the program, and one that has no spawner at the moment says so
// (KARVEL_SERVER_BUSY): the extension never starts a program itself there.
#define HSE_REQ_KARVEL_START_PROGRAM 0x4B560001u  // lpvBuffer: KARVEL_PROGRAM_START
#define HSE_REQ_KARVEL_PROGRAM_DONE 0x4B560002u   // lpvBuffer: KARVEL_PROGRAM_DONE
// Whether the program the host started still runs: *(DWORD*)lpvBuffer gets KARVEL_PROGRAM_RUNNING
// or KARVEL_PROGRAM_EXITED. With lpdwSize, the host first waits for the program's end at most
// *lpdwSize milliseconds.
#define HSE_REQ_KARVEL_PROGRAM_STATE 0x4B560003u
#define KARVEL_PROGRAM_RUNNING 1
#define KARVEL_PROGRAM_EXITED 2

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
  BOOL bUnderWine;             // out: a Windows program, started under Wine
};

// After the wait: whether the program answered, and how the wait ended ("1", "2", "4", "99",
// "timeout", "client-gone"). A program that did not answer is stopped where the site says so.
struct KARVEL_PROGRAM_DONE {
  BOOL bAnswered;
  LPCSTR pszResult;
};

#endif  // KARVEL_ISAPI_HTTPEXT_H
