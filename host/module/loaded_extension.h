// An ISAPI extension file as the host loads it: probed while the configuration is read (so a
// wrong file fails Apache's start naming the file), loaded and initialised once in each child.
#ifndef KARVEL_HOST_LOADED_EXTENSION_H
#define KARVEL_HOST_LOADED_EXTENSION_H

#include <apr_pools.h>

#include "isapi/httpext.h"

typedef BOOL(WINAPI* GetExtensionVersionFunction)(HSE_VERSION_INFO*);
typedef DWORD(WINAPI* HttpExtensionProcFunction)(EXTENSION_CONTROL_BLOCK*);

struct LoadedExtension {
  const char* szPath;                               // the file, as configured
  void* hModule;                                    // dlopen handle, nullptr until loaded
  GetExtensionVersionFunction pfnGetExtensionVersion;
  HttpExtensionProcFunction pfnHttpExtensionProc;
  HSE_VERSION_INFO version;                         // what GetExtensionVersion filled in
};

// Loads `extension->szPath` and finds both entry points; nullptr on success, else a message
// (in `pool`) naming the file and what is wrong with it.
const char* LoadExtensionFile(apr_pool_t* pool, LoadedExtension* extension);
// Calls GetExtensionVersion; nullptr when it answered TRUE, else a message naming the file.
const char* InitialiseExtension(apr_pool_t* pool, LoadedExtension* extension);

#endif  // KARVEL_HOST_LOADED_EXTENSION_H
