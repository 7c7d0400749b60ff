// KarvelResident PROGRAM [instances=N] [max-requests=M] [idle=SECONDS]: the words of one line read
// into a setting, or refused with a text that names what is wrong. Plain C++ (no Apache), so that
// the reading is the same at start and in the tests.
#ifndef KARVEL_HOST_RESIDENT_SETTING_H
#define KARVEL_HOST_RESIDENT_SETTING_H

#include <string>

// Defaults: twice the processors' instances, an instance retired after this many requests, and
// after this long without one.
constexpr int kResidentDefaultMaxRequests = 10000;
constexpr int kResidentDefaultIdleSeconds = 300;
// The bounds a line may give.
constexpr int kResidentMostInstances = 1024;
constexpr int kResidentMostRequests = 1000000000;
constexpr int kResidentMostIdleSeconds = 7 * 24 * 3600;

struct ResidentSetting {
  std::string program;  // as a form names it, inside the site's back-end directory
  int instances;        // 1 ..; at most this many run at once for the site
  int maxRequests;      // 0: never retired for its count
  int idleSeconds;      // 0: never stopped for idling
};

// The line's words after the directive's name (`words[0]` the program). `processors` sets the
// default of instances (twice as many, at least one). "" and *setting filled when they hold; else
// why not (the directive's name is the caller's to add).
std::string ReadResidentSetting(const char* const* words, int count, long processors, ResidentSetting* setting);

#endif  // KARVEL_HOST_RESIDENT_SETTING_H
