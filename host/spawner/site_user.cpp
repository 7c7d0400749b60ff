#include "host/spawner/site_user.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

namespace {

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

bool OwnedByUserOrRoot(const struct stat& info, const SiteUser& user) {
  return info.st_uid == user.uid || info.st_uid == 0;
}

std::string Owner(const struct stat& info) { return "uid " + std::to_string(info.st_uid); }

bool InsideOneOf(const std::vector<std::string>& directories, const char* program) {
  const size_t length = std::strlen(program);
  for (const std::string& directory : directories) {
    // "/" itself holds every path; any other directory holds what continues it after a '/'.
    if (directory == "/") return true;
    if (length > directory.size() + 1 && std::strncmp(program, directory.c_str(), directory.size()) == 0 &&
        program[directory.size()] == '/') {
      return true;
    }
  }
  return false;
}

}  // namespace

const SiteUser* UserOfSite(const SiteUsers& users, uint32_t site, const std::string& name) {
  const SiteEntry* found = nullptr;
  if (site < users.sites.size() && users.sites[site].name == name) {
    found = &users.sites[site];
  } else {
    for (const SiteEntry& entry : users.sites) {
      if (entry.name == name) {
        found = &entry;
        break;
      }
    }
  }
  return found != nullptr && found->ownUser ? &found->user : nullptr;
}

std::string ProgramRefusedFor(const SiteUser& user, const char* program, int programFile, int directory) {
  if (!InsideOneOf(user.backendDirectories, program)) {
    std::string listed;
    for (const std::string& d : user.backendDirectories) listed += (listed.empty() ? "" : ", ") + d;
    return "it lies outside the site's back-end directories (" + listed + ")";
  }
  struct stat file{}, holder{};
  if (fstat(programFile, &file) != 0 || !S_ISREG(file.st_mode)) return "it is no regular file";
  if (fstat(directory, &holder) != 0) return "its directory cannot be looked at";
  if (!OwnedByUserOrRoot(file, user)) return "it is owned by " + Owner(file) + ", not by " + user.user + " or root";
  if ((file.st_mode & (S_ISUID | S_ISGID)) != 0) return "it is set-user-id or set-group-id (mode " + Octal(file.st_mode) + ")";
  if ((file.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "it is writable by its group or others (mode " + Octal(file.st_mode) + ")";
  }
  if (!OwnedByUserOrRoot(holder, user)) {
    return "its directory is owned by " + Owner(holder) + ", not by " + user.user + " or root";
  }
  if ((holder.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "its directory is writable by its group or others (mode " + Octal(holder.st_mode) + ")";
  }
  return "";
}
