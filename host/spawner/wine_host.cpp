#include "host/spawner/wine_host.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "host/spawner/as_site_user.h"
#include "host/spawner/site_user.h"
#include "host/spawner/spawn_program.h"
#include "host/spawner/spawner_protocol.h"

namespace {

constexpr const char* kWineLoader = "/usr/bin/wine";
constexpr const char* kWine64Loader = "/usr/lib/wine/wine64";
constexpr const char* kWine32Loader = "/usr/lib/wine/wine";
// The code page of Japanese Windows: Wine takes the ANSI code page from the locale's name.
constexpr const char* kJapaneseLocale = "LC_ALL=ja_JP.UTF-8";
constexpr int kServerStartMs = 10000;
constexpr int kServicesStartMs = 60000;
constexpr int kServerStopMs = 30000;

std::string WineServerPath(const WineSettings& wine) {
  const std::string loader = wine.loader;
  return loader.substr(0, loader.find_last_of('/') + 1) + "wineserver";
}

std::vector<std::string> CommandEnvironment(const WineSettings& wine) {
  std::vector<std::string> environment = {"PATH=/usr/bin:/bin"};
  AddWineEnvironment(wine, nullptr, &environment);
  return environment;
}

int Run(std::vector<std::string> arguments, const WineSettings& wine, int timeoutMs) {
  std::vector<std::string> environment = CommandEnvironment(wine);
  std::vector<char*> argv, envp;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  return RunToCompletion(argv.data(), envp.data(), timeoutMs, wine.user);
}

constexpr const char* kClaimName = ".karvel-servers.lock";
constexpr int kClaimLookMs = 50;  // how often a claim taken by another is tried again

}  // namespace

bool PathSplitsUnderWine(const char* path) { return std::strchr(path, ' ') != nullptr; }

const char* InstalledWineLoader() {
  // Asked for every request: the answer is kept for a second (the coarse clock costs no call).
  constexpr int64_t kKeptMs = 1000;
  static std::atomic<int64_t> lookedAtMs{-kKeptMs};
  static std::atomic<bool> installed{false};
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  const int64_t nowMs = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  if (nowMs - lookedAtMs.load(std::memory_order_relaxed) >= kKeptMs) {
    installed.store(access(kWineLoader, X_OK) == 0, std::memory_order_relaxed);
    lookedAtMs.store(nowMs, std::memory_order_relaxed);
  }
  return installed.load(std::memory_order_relaxed) ? kWineLoader : nullptr;
}

const char* LoaderFor(const WineSettings& wine, bool windows64) {
  const char* own = windows64 ? kWine64Loader : kWine32Loader;
  return access(own, X_OK) == 0 ? own : wine.loader;
}

std::string WineUnavailable(const WineSettings& wine) {
  if (wine.loader == nullptr) return "Wine is not installed";
  const std::string prefix = wine.prefix != nullptr ? wine.prefix : "";
  if (wine.user != nullptr && (prefix.empty() || prefix == kNoWinePrefix)) {
    const std::string& user = wine.user->user;
    return "it runs as " + user + ", whose Wine prefix is not set: KarvelWinePrefix in its <VirtualHost>, made by " +
           "karvel-wine-setup --user " + user + " --prefix DIR";
  }
  const std::string setup = wine.user != nullptr ? "karvel-wine-setup --user " + wine.user->user + " --prefix " + prefix
                                                 : "karvel-wine-setup";
  struct stat info{};
  if (prefix.empty()) return "no Wine prefix is set (KarvelWinePrefix)";
  if (stat((prefix + "/system.reg").c_str(), &info) != 0) {
    if (errno == EACCES) {
      return "the Wine prefix " + prefix + " is closed to the server's user (run " + setup + ": it leaves the prefix 0711)";
    }
    return "the Wine prefix " + prefix + " is not made (run " + setup + ")";
  }
  // Wine refuses a prefix of another user.
  const uid_t owner = wine.user != nullptr ? wine.user->uid : geteuid();
  if (stat(prefix.c_str(), &info) != 0 || info.st_uid != owner) {
    return "the Wine prefix " + prefix + " belongs to another user than " +
           (wine.user != nullptr ? wine.user->user : std::string("the server's"));
  }
  return "";
}

WineSettings WineOfSite(const WineSettings& server, const SiteUser* user) {
  if (user == nullptr) return server;
  return WineSettings{server.loader, user->winePrefix.empty() ? "" : user->winePrefix.c_str(), user};
}

void AddWineEnvironment(const WineSettings& wine, const char* loader, std::vector<std::string>* environment) {
  auto set = [environment](const std::string& variable) { SetOrderVariable(environment, variable); };
  set(std::string("WINEPREFIX=") + wine.prefix);
  set("WINEDEBUG=-all");
  // The loader Wine starts further programs with (as the wine script sets it).
  if (loader != nullptr) set(std::string("WINELOADER=") + loader);
  set(kJapaneseLocale);
  // No display: a window is made on Wine's null driver, never waits for one. No TMPDIR: Wine looks
  // for its wineserver's socket under it, and the persistent wineserver was started without one (a
  // Windows program finds its temporary directory in the prefix, not there).
  for (size_t k = environment->size(); k-- > 0;) {
    const std::string& variable = (*environment)[k];
    if (variable.rfind("DISPLAY=", 0) == 0 || variable.rfind("WAYLAND_DISPLAY=", 0) == 0 ||
        variable.rfind("TMPDIR=", 0) == 0) {
      environment->erase(environment->begin() + static_cast<std::ptrdiff_t>(k));
    }
  }
}

namespace {

// Points `link` at `target` unless something other than a link is there.
void PlaceLink(const std::string& link, const std::string& target) {
  struct stat info{};
  if (lstat(link.c_str(), &info) == 0) {
    if (!S_ISLNK(info.st_mode)) return;
    char current[4096];
    const ssize_t length = readlink(link.c_str(), current, sizeof current - 1);
    if (length >= 0 && std::string(current, static_cast<size_t>(length)) == target) return;
    unlink(link.c_str());
  }
  symlink(target.c_str(), link.c_str());
}

void LinkWindowsPath(const std::string& prefix, const std::string& windowsDirectory, const std::string& target) {
  const char letter = static_cast<char>(windowsDirectory[0] | 0x20);
  const std::string device = prefix + "/dosdevices/" + letter + ":";
  std::vector<std::string> names;
  for (size_t at = 3; at < windowsDirectory.size();) {
    const size_t end = windowsDirectory.find_first_of("\\/", at);
    const std::string name = windowsDirectory.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (name == "." || name == "..") return;  // only plain names are made inside the prefix
    if (!name.empty()) names.push_back(name);
    at = end == std::string::npos ? windowsDirectory.size() : end + 1;
  }
  if (names.empty()) {
    PlaceLink(device, target);
    return;
  }
  const std::string drive = "drive_" + std::string(1, letter);
  struct stat info{};
  if (lstat(device.c_str(), &info) != 0) {
    mkdir((prefix + "/" + drive).c_str(), 0755);
    symlink(("../" + drive).c_str(), device.c_str());
  } else {
    // Only a drive of the prefix's own gets links made in it.
    char current[4096];
    const ssize_t length = readlink(device.c_str(), current, sizeof current - 1);
    if (length < 0 || std::string(current, static_cast<size_t>(length)) != "../" + drive) return;
  }
  std::string path = prefix + "/" + drive;
  for (size_t k = 0; k + 1 < names.size(); ++k) {
    path += "/" + names[k];
    mkdir(path.c_str(), 0755);
  }
  PlaceLink(path + "/" + names.back(), target);
}

}  // namespace

void LinkWindowsPaths(const WineSettings& wine, const std::string& lines) {
  for (size_t at = 0; at < lines.size();) {
    size_t end = lines.find('\n', at);
    if (end == std::string::npos) end = lines.size();
    const std::string line = lines.substr(at, end - at);
    const size_t bar = line.find('|');
    if (bar != std::string::npos && bar >= 3 && line[1] == ':') {
      LinkWindowsPath(wine.prefix, line.substr(0, bar), line.substr(bar + 1));
    }
    at = end + 1;
  }
}

std::string SitePrefix(const char* prefix, const std::string& lines) {
  if (lines.empty()) return prefix;
  // FNV-1a, 64 bits: a name for the lines, not a secret (the operator writes them).
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : lines) hash = (hash ^ c) * 1099511628211ull;
  char name[17];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
  return std::string(prefix) + "/karvel-sites/" + name;
}

namespace {

constexpr size_t kCopyBlockBytes = 64 * 1024;

bool CopyFile(const std::string& from, const std::string& to) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  bool copied = out >= 0;
  char block[kCopyBlockBytes];
  ssize_t got;
  while (copied && (got = read(in, block, sizeof block)) > 0) copied = write(out, block, static_cast<size_t>(got)) == got;
  close(in);
  if (out >= 0) close(out);
  return copied;
}

void RemoveTree(const std::string& path) {
  struct stat info{};
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    if (DIR* listing = opendir(path.c_str())) {
      while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      closedir(listing);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

// MakeSitePrefix's work, as the prefix's user.
bool MakeSitePrefixHere(const WineSettings& wine, const std::string& site, const std::string& lines) {
  struct stat info{};
  if (stat((site + "/system.reg").c_str(), &info) == 0) return true;
  const std::string shared = wine.prefix;
  const std::string sites = shared + "/karvel-sites";
  // A site user's prefix is passed through by the server's children (its drive links): so is its
  // sub-prefix; the server's own stays closed.
  const mode_t closed = wine.user != nullptr ? 0711 : 0700;
  mkdir(sites.c_str(), closed);
  const std::string making = site + ".making-" + std::to_string(getpid());
  RemoveTree(making);
  bool made = mkdir(making.c_str(), closed) == 0 && mkdir((making + "/dosdevices").c_str(), 0755) == 0 &&
              mkdir((making + "/drive_c").c_str(), 0755) == 0 &&
              symlink("../drive_c", (making + "/dosdevices/c:").c_str()) == 0 &&
              symlink("/", (making + "/dosdevices/z:").c_str()) == 0;
  // The site's own directories first; the server's drive C: fills in the names they leave.
  if (made) LinkWindowsPaths(WineSettings{wine.loader, making.c_str()}, lines);
  if (DIR* listing = made ? opendir((shared + "/drive_c").c_str()) : nullptr) {
    while (const dirent* entry = readdir(listing)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string own = making + "/drive_c/" + name;
      if (lstat(own.c_str(), &info) != 0) made = symlink((shared + "/drive_c/" + name).c_str(), own.c_str()) == 0 && made;
    }
    closedir(listing);
  }
  // The registry and Wine's update stamp (without it Wine would update the prefix at its first
  // program): the server's files, copied.
  if (DIR* listing = made ? opendir(shared.c_str()) : nullptr) {
    while (const dirent* entry = readdir(listing)) {
      const std::string name = entry->d_name;
      const std::string from = shared + "/" + name;
      if (name == kClaimName || lstat(from.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
      made = CopyFile(from, making + "/" + name) && made;
    }
    closedir(listing);
  }
  // Another spawner may have made it meanwhile (a graceful restart): its prefix is as good.
  if (made && rename(making.c_str(), site.c_str()) == 0) return true;
  RemoveTree(making);
  return stat((site + "/system.reg").c_str(), &info) == 0;
}

struct SitePrefixOrder {
  const WineSettings* wine;
  const std::string* site;
  const std::string* lines;
};

bool MakeSitePrefixOrdered(void* context) {
  const auto* order = static_cast<const SitePrefixOrder*>(context);
  return MakeSitePrefixHere(*order->wine, *order->site, *order->lines);
}

// The shared lock on `claim`, waited for up to kWineClaimWaitMs.
bool TakeClaim(int claim) {
  for (int waited = 0; waited < kWineClaimWaitMs; waited += kClaimLookMs) {
    if (flock(claim, LOCK_SH | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    usleep(kClaimLookMs * 1000);
  }
  return false;
}

}  // namespace

bool MakeSitePrefix(const WineSettings& wine, const std::string& site, const std::string& lines) {
  if (wine.user == nullptr) return MakeSitePrefixHere(wine, site, lines);
  constexpr int kMakeMs = 30000;
  const SitePrefixOrder order{&wine, &site, &lines};
  return RunAsSiteUser(*wine.user, MakeSitePrefixOrdered, const_cast<SitePrefixOrder*>(&order), kMakeMs);
}

int StartWineServer(const WineSettings& wine) {
  const std::string lockPath = std::string(wine.prefix) + "/" + kClaimName;
  const int claim = wine.user != nullptr ? OpenAsSiteUser(*wine.user, lockPath.c_str(), O_RDWR | O_CREAT, 0600)
                                         : open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  // Waits while a server that let go stops the wineserver; then this one starts it afresh.
  if (claim < 0 || !TakeClaim(claim)) {
    if (claim >= 0) close(claim);
    return -1;
  }
  // (One that runs already, another server's, makes this fail: it serves as well.)
  Run({WineServerPath(wine), "-p"}, wine, kServerStartMs);
  // The first Wine program starts the services (services.exe, plugplay, ...): a throwaway one,
  // which also shows that Wine runs in the prefix.
  if (Run({LoaderFor(wine, true), "cmd.exe", "/c"}, wine, kServicesStartMs) != 0) {
    close(claim);
    return -1;
  }
  return claim;
}

void StopWineServer(const WineSettings& wine, int claim) {
  // As the prefix's user (Run): its wineserver's socket is that user's.
  if (claim < 0) return;
  flock(claim, LOCK_UN);
  if (flock(claim, LOCK_EX | LOCK_NB) == 0) {
    Run({WineServerPath(wine), "-k"}, wine, kServerStopMs);
    Run({WineServerPath(wine), "-w"}, wine, kServerStopMs);
  }
  close(claim);
}

namespace {

// Whether `inner` is `outer` or lies inside it.
bool SameOrInside(const std::string& inner, const std::string& outer) {
  return inner == outer || (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
                            (outer.back() == '/' || inner[outer.size()] == '/'));
}

std::string UserName(const std::string& user) { return user.empty() ? "the server's user" : user; }

}  // namespace

std::string PrefixesClash(const std::vector<PrefixUse>& uses) {
  for (size_t a = 0; a < uses.size(); ++a) {
    for (size_t b = 0; b < uses.size(); ++b) {
      if (a == b || uses[a].user == uses[b].user || !SameOrInside(uses[a].prefix, uses[b].prefix)) continue;
      return "the Wine prefix " + uses[a].prefix + " of " + UserName(uses[a].user) + " (" + uses[a].where + ") " +
             (uses[a].prefix == uses[b].prefix ? "is" : "lies inside") + " the prefix of " + UserName(uses[b].user) +
             " (" + uses[b].where + "): a prefix belongs to one user";
    }
  }
  return "";
}
