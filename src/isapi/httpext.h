// The web-server extension ABI: the control block and the entry points a host and an
// extension module exchange. Field order and meaning follow the documented interface
// so that an extension written against it needs no change; DWORD is 32-bit, calls use
// the plain C convention.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t DWORD;
typedef int BOOL;
typedef void* HCONN;
typedef void* LPVOID;
typedef DWORD* LPDWORD;
typedef char* LPSTR;
typedef unsigned char* LPBYTE;

#define HSE_VERSION_MAJOR 2
#define HSE_VERSION_MINOR 0
#define HSE_MAKE_VERSION(major, minor) ((DWORD)(((DWORD)(major) << 16) | (DWORD)(minor)))
#define HSE_MAX_EXT_DLL_NAME_LEN 256

// Results of HttpExtensionProc.
#define HSE_STATUS_SUCCESS 1
#define HSE_STATUS_SUCCESS_AND_KEEP_CONN 2
#define HSE_STATUS_PENDING 3
#define HSE_STATUS_ERROR 4

// ServerSupportFunction requests.
#define HSE_REQ_SEND_RESPONSE_HEADER 3
#define HSE_REQ_DONE_WITH_SESSION 4

// TerminateExtension flags.
#define HSE_TERM_ADVISORY_UNLOAD 0x00000001
#define HSE_TERM_MUST_UNLOAD 0x00000002

// WriteClient flags.
#define HSE_IO_SYNC 0x00000001

typedef struct HSE_VERSION_INFO {
  DWORD dwExtensionVersion;
  char lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN];
} HSE_VERSION_INFO;

typedef struct EXTENSION_CONTROL_BLOCK {
  DWORD cbSize;
  DWORD dwVersion;
  HCONN ConnID;
  DWORD dwHttpStatusCode;
  char lpszLogData[80];
  LPSTR lpszMethod;
  LPSTR lpszQueryString;
  LPSTR lpszPathInfo;
  LPSTR lpszPathTranslated;
  DWORD cbTotalBytes;
  DWORD cbAvailable;
  LPBYTE lpbData;
  LPSTR lpszContentType;

  // Copies a server variable (or an HTTP_ header) into buffer; on a short buffer returns
  // FALSE and sets *size to the bytes needed, terminating zero included.
  BOOL (*GetServerVariable)(HCONN conn, LPSTR name, LPVOID buffer, LPDWORD size);
  BOOL (*WriteClient)(HCONN conn, LPVOID buffer, LPDWORD bytes, DWORD flags);
  // Reads body bytes beyond the first cbAvailable; *size becomes the count read,
  // 0 at the end of the body.
  BOOL (*ReadClient)(HCONN conn, LPVOID buffer, LPDWORD size);
  // HSE_REQ_SEND_RESPONSE_HEADER: buffer = status text such as "200 OK" (may be null),
  // dataType = header block ending in an empty line (may be null).
  // HSE_REQ_DONE_WITH_SESSION: ends a request answered with HSE_STATUS_PENDING.
  BOOL (*ServerSupportFunction)(HCONN conn, DWORD request, LPVOID buffer, LPDWORD size,
                                LPDWORD dataType);
} EXTENSION_CONTROL_BLOCK;

typedef BOOL (*PFN_GETEXTENSIONVERSION)(HSE_VERSION_INFO* version);
typedef DWORD (*PFN_HTTPEXTENSIONPROC)(EXTENSION_CONTROL_BLOCK* ecb);
typedef BOOL (*PFN_TERMINATEEXTENSION)(DWORD flags);

#ifdef __cplusplus
}
#endif
