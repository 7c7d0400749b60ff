// ConnID values handed to extensions. Each request in HttpExtensionProc gets a fresh number
// (never reused in the life of the process, so a stale ConnID cannot reach a later request); a
// callback finds its request only while that call is running.
#ifndef KARVEL_HOST_CONNECTION_REGISTRY_H
#define KARVEL_HOST_CONNECTION_REGISTRY_H

#include <cstdint>

struct RequestContext;

// Registers `context` and returns its ConnID (never 0), or 0 when no room could be made.
uintptr_t RegisterConnection(RequestContext* context);
// Removes the ConnID; callbacks with it fail from now on.
void UnregisterConnection(uintptr_t connId);
// The live request of `connId`, or nullptr.
RequestContext* FindConnection(uintptr_t connId);

#endif  // KARVEL_HOST_CONNECTION_REGISTRY_H
