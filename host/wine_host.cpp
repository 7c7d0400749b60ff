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
