#include "host/spawner/resident_pool.h"

#include <cstring>

std::string PoolKeyOf(const SpawnOrderText& order) {
  std::string key = std::to_string(order.fixed.site) + '\0' + order.strings[kSiteName] + '\0' +
                    order.strings[kProgram] + '\0' + std::to_string(order.fixed.stderrLevel) + '\0' +
                    std::to_string(order.fixed.residentInstances) + '\0' +
                    std::to_string(order.fixed.residentMaxRequests) + '\0' +
                    std::to_string(order.fixed.residentIdleSeconds) + '\0';
  key.append(reinterpret_cast<const char*>(order.fixed.limits), sizeof order.fixed.limits);
  for (const std::string& variable : order.environment) key += variable + '\0';
  return key;
}

ResidentChoice ChooseInstance(const std::vector<ResidentInstance>& instances, const std::string& key,
                              uint32_t capOfPool, bool slotFree, size_t* chosen) {
  if (!slotFree) return kWaitForInstance;
  bool found = false;
  for (size_t k = 0; k < instances.size(); ++k) {
    const ResidentInstance& instance = instances[k];
    if (instance.state != kInstanceIdle || instance.key != key) continue;
    if (!found || instance.idleSince >= instances[*chosen].idleSince) *chosen = k;
    found = true;
  }
  if (found) return kHandToIdle;
  return PoolLive(instances, key) < capOfPool ? kStartInstance : kWaitForInstance;
}

size_t PoolLive(const std::vector<ResidentInstance>& instances, const std::string& key) {
  size_t live = 0;
  for (const ResidentInstance& instance : instances) {
    if (instance.state != kInstanceEnding && instance.key == key) ++live;
  }
  return live;
}

bool DueToRetire(const ResidentInstance& instance) {
  return instance.maxRequests != 0 && instance.served >= instance.maxRequests;
}

bool IdleTooLong(const ResidentInstance& instance, int64_t nowMs, int64_t* dueAtMs) {
  if ((instance.state != kInstanceIdle && instance.state != kInstanceLent) || instance.idleSeconds == 0) return false;
  const int64_t due = instance.idleSince + static_cast<int64_t>(instance.idleSeconds) * 1000;
  if (dueAtMs != nullptr) *dueAtMs = due;
  return nowMs >= due;
}

bool InstanceCounted(const ResidentInstance& instance) {
  return instance.state == kInstanceBusy || instance.state == kInstanceLent ||
         (instance.state == kInstanceEnding && instance.stopped);
}
