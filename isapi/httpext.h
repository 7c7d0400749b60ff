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

#endif  // KARVEL_ISAPI_HTTPEXT_H
