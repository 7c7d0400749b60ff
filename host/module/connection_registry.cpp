#include "host/module/connection_registry.h"

#include <mutex>
#include <new>
#include <unordered_map>

namespace {
std::mutex g_lock;
uintptr_t g_lastId = 0;
// Constructed on first use and never destroyed: callbacks may race with the process's exit.
std::unordered_map<uintptr_t, RequestContext*>& Live() {
  static auto* live = new std::unordered_map<uintptr_t, RequestContext*>();
  return *live;
}
}  // namespace

uintptr_t RegisterConnection(RequestContext* context) {
  std::lock_guard<std::mutex> guard(g_lock);
  try {
    const uintptr_t id = ++g_lastId;
    Live().emplace(id, context);
    return id;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

void UnregisterConnection(uintptr_t connId) {
  std::lock_guard<std::mutex> guard(g_lock);
  Live().erase(connId);
}

RequestContext* FindConnection(uintptr_t connId) {
  std::lock_guard<std::mutex> guard(g_lock);
  const auto found = Live().find(connId);
  return found == Live().end() ? nullptr : found->second;
}
