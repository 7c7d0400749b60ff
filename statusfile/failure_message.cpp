#include "statusfile/failure_message.h"

// Each text has the Shift-JIS full-width colon (0x81 0x46) after its first words; callers on
// Japanese Windows see "File Read Failed：path".
#define FULLWIDTH_COLON "\x81\x46"

void ShowStatusFailure(StatusFailure failure, LPCSTR path) {
  LPCSTR format = "File Read Failed" FULLWIDTH_COLON "%s";
  if (failure == kStatusCreateFailed) {
    format = "File Create Failed" FULLWIDTH_COLON "%sPlease check the free space on the target drive.";
  } else if (failure == kStatusWriteFailed) {
    format = "File Write Failed" FULLWIDTH_COLON "%s\r\nPlease check the free space on the target drive.";
  }
  // Paths are below MAX_PATH bytes, so every text fits well within wsprintfA's limit.
  CHAR text[WSPRINTF_LIMIT];
  wsprintfA(text, format, path);
  MessageBoxA(nullptr, text, path, MB_OK | MB_ICONWARNING);
}
