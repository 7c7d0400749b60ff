#include "host/wine_host.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/spawn_program.h"

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
  const std::string loader = wine.szLoader;
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
  return RunToCompletion(argv.data(), envp.data(), timeoutMs);
}

}  // namespace

const char* InstalledWineLoader() { return access(kWineLoader, X_OK) == 0 ? kWineLoader : nullptr; }

const char* LoaderFor(const WineSettings& wine, bool windows64) {
  const char* own = windows64 ? kWine64Loader : kWine32Loader;
  return access(own, X_OK) == 0 ? own : wine.szLoader;
}

std::string WineUnavailable(const WineSettings& wine) {
  if (wine.szLoader == nullptr) return "Wine is not installed";
  const std::string prefix = wine.szPrefix != nullptr ? wine.szPrefix : "";
  struct stat info{};
  if (prefix.empty() || stat((prefix + "/system.reg").c_str(), &info) != 0) {
    return "the Wine prefix " + prefix + " is not made (run karvel-wine-setup)";
  }
  // Wine refuses a prefix of another user.
  if (stat(prefix.c_str(), &info) != 0 || info.st_uid != geteuid()) {
    return "the Wine prefix " + prefix + " belongs to another user than the server's";
  }
  return "";
}

void AddWineEnvironment(const WineSettings& wine, const char* loader, std::vector<std::string>* environment) {
  auto set = [environment](const std::string& variable) {
    const std::string name = variable.substr(0, variable.find('=') + 1);
    for (std::string& existing : *environment) {
      if (existing.compare(0, name.size(), name) == 0) {
        existing = variable;
        return;
      }
    }
    environment->push_back(variable);
  };
  set(std::string("WINEPREFIX=") + wine.szPrefix);
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
      LinkWindowsPath(wine.szPrefix, line.substr(0, bar), line.substr(bar + 1));
    }
    at = end + 1;
  }
}

int StartWineServer(const WineSettings& wine) {
  const std::string lockPath = std::string(wine.szPrefix) + "/.karvel-servers.lock";
  const int claim = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  // Waits while a server that let go stops the wineserver; then this one starts it afresh.
  if (claim < 0 || flock(claim, LOCK_SH) != 0) {
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
  if (claim < 0) return;
  flock(claim, LOCK_UN);
  if (flock(claim, LOCK_EX | LOCK_NB) == 0) {
    Run({WineServerPath(wine), "-k"}, wine, kServerStopMs);
    Run({WineServerPath(wine), "-w"}, wine, kServerStopMs);
  }
  close(claim);
}
