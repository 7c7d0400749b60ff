#include "host/module/loaded_extension.h"

#include <dlfcn.h>

#include <apr_strings.h>

const char* LoadExtensionFile(apr_pool_t* pool, LoadedExtension* extension) {
  // RTLD_LOCAL: every extension exports the same two names, each must find its own.
  void* module = dlopen(extension->szPath, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* why = dlerror();
    return apr_psprintf(pool, "cannot load ISAPI extension %s: %s", extension->szPath, why ? why : "unknown error");
  }
  auto version = reinterpret_cast<GetExtensionVersionFunction>(dlsym(module, "GetExtensionVersion"));
  auto proc = reinterpret_cast<HttpExtensionProcFunction>(dlsym(module, "HttpExtensionProc"));
  if (version == nullptr || proc == nullptr) {
    dlclose(module);
    return apr_psprintf(pool, "%s is not an ISAPI extension: it lacks %s", extension->szPath,
                        version == nullptr ? "GetExtensionVersion" : "HttpExtensionProc");
  }
  extension->hModule = module;
  extension->pfnGetExtensionVersion = version;
  extension->pfnHttpExtensionProc = proc;
  return nullptr;
}

const char* InitialiseExtension(apr_pool_t* pool, LoadedExtension* extension) {
  extension->version = HSE_VERSION_INFO{};
  if (!extension->pfnGetExtensionVersion(&extension->version)) {
    return apr_psprintf(pool, "ISAPI extension %s refused to start (GetExtensionVersion returned FALSE)",
                        extension->szPath);
  }
  // The description need not be terminated; it is only ever read through this bound.
  extension->version.lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN - 1] = '\0';
  return nullptr;
}
