// Settings a request takes from its host: a setting the host gives but that cannot be read whole
// refuses the request; only a setting the host does not give at all falls back to the
// environment or the default.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "gateway/error_page.h"
#include "gateway/request_driver.h"
#include "gateway/fake_ecb.h"
#include "gateway/request_settings.h"
#include "support/files.h"

namespace {

using gateway_test::FakeEcb;
using test_support::ScopedEnv;
using test_support::TempDir;

// A refusal's text, "" for none: texts compare by their bytes.
std::string Text(LPCSTR text) { return text != nullptr ? text : ""; }

// What a request reads of its settings: the refusal's text ("" for none) and the record's paths.
struct Read {
  std::string refusal, backendDirectory, tempDirectory, uploadRoot, winePrefix, windowsPaths;
};

Read ReadSettings(FakeEcb& fake) {
  RequestSettings settings{};
  Read read;
  read.refusal = Text(ReadRequestSettings(fake.Ecb(), &settings));
  read.backendDirectory = settings.szBackendDirectory;
  read.tempDirectory = settings.szTempDirectory;
  read.uploadRoot = settings.szUploadRoot;
  read.winePrefix = settings.szWinePrefix;
  read.windowsPaths = settings.pWindowsPaths != nullptr ? settings.pWindowsPaths : "";
  ReleaseRequestSettings(&settings);
  return read;
}

// A directory path of exactly `length` bytes under `base` (which need not exist).
std::string PathOfLength(const std::string& base, size_t length) {
  std::string path = base + "/";
  while (path.size() < length) path += 'd';
  return path.substr(0, length);
}

TEST(RequestSettings, BackendDirectoryFallsBackOnlyWhenTheHostGivesNone) {
  TempDir dir;
  const std::string fallback = dir.File("from-environment");
  ScopedEnv environment("KARVEL_BACKEND_DIR", fallback.c_str());
  struct Case {
    const char* what;
    size_t length;  // 0: the host gives no such setting
    bool told;      // a directory is told
    bool site;      // ... and it is the site's own
  } cases[] = {
      {"no setting: the environment's", 0, true, false},
      {"short", 40, true, true},
      {"longest that fits", MAX_PATH - 1, true, true},
      {"one byte too long", MAX_PATH, false, false},
      {"far too long", 5000, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string site = PathOfLength(dir.path(), c.length);
    FakeEcb fake = FakeEcb::Get("");
    if (c.length != 0) fake.Variable("KARVEL_BACKEND_DIR", site);
    const Read read = ReadSettings(fake);
    EXPECT_EQ(c.told, read.refusal.empty());
    if (c.told) {
      EXPECT_EQ(c.site ? site : fallback, read.backendDirectory);
    }
    EXPECT_EQ(c.told ? "" : ERROR_TEXT_EXE_LOAD, read.refusal);
  }
}

TEST(RequestSettings, OtherSettingsThatDoNotFitRefuseTheRequest) {
  TempDir dir;
  ScopedEnv system(test_support::kTempVariable, dir.path().c_str());
  struct Case {
    const char* name;
    size_t length;
    LPCSTR refusal;  // nullptr: it fits
  } cases[] = {
      {"KARVEL_TEMP_DIR", MAX_PATH - 2, nullptr},  // room for its separator
      {"KARVEL_TEMP_DIR", MAX_PATH - 1, ERROR_TEXT_TEMP_OPEN},
      {"KARVEL_TEMP_DIR", MAX_PATH + 1, ERROR_TEXT_TEMP_OPEN},
      {"KARVEL_UPLOAD_DIR", MAX_PATH - 2, nullptr},
      {"KARVEL_UPLOAD_DIR", MAX_PATH - 1, ERROR_TEXT_TEMP_OPEN},
      {"KARVEL_UPLOAD_DIR", MAX_PATH + 1, ERROR_TEXT_TEMP_OPEN},
      {"KARVEL_WINE_PREFIX", MAX_PATH - 1, nullptr},
      {"KARVEL_WINE_PREFIX", 3000, ERROR_TEXT_EXE_LOAD},
      {"KARVEL_WINDOWS_PATHS", WINDOWS_PATHS_ROOM - 1, nullptr},
      {"KARVEL_WINDOWS_PATHS", WINDOWS_PATHS_ROOM, ERROR_TEXT_EXE_LOAD},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " of " + std::to_string(c.length));
    FakeEcb fake = FakeEcb::Get("");
    fake.Variable(c.name, PathOfLength("/srv", c.length));
    const Read read = ReadSettings(fake);
    EXPECT_EQ(Text(c.refusal), read.refusal);
    // Never the system's temporary directory in the site's place.
    if (std::strcmp(c.name, "KARVEL_TEMP_DIR") == 0) {
      EXPECT_EQ(c.refusal == nullptr, !read.tempDirectory.empty());
    }
    // The uploads' directory as given, with its separator, or none at all: never beside the
    // exchange file in the site's place.
    if (std::strcmp(c.name, "KARVEL_UPLOAD_DIR") == 0) {
      EXPECT_EQ(c.refusal == nullptr ? PathOfLength("/srv", c.length) + "/" : "", read.uploadRoot);
    }
  }
}

TEST(RequestSettings, ARequestWhoseBackendDirectoryDoesNotFitIsRefusedBeforeAnyFileIsMade) {
  TempDir dir;
  ScopedEnv tmpdir(test_support::kTempVariable, dir.path().c_str());
  // The environment's directory holds programs: the request must not run them in the site's place.
  ScopedEnv environment("KARVEL_BACKEND_DIR", dir.path().c_str());
  FakeEcb fake = FakeEcb::Get("VCEXE=page&a=1");
  fake.Variable("KARVEL_BACKEND_DIR", PathOfLength(dir.path(), 300));
  ExchangeRequest request{};
  EXPECT_STREQ(ERROR_TEXT_EXE_LOAD, PrepareRequest(fake.Ecb(), &request));
  EXPECT_STREQ("", request.szExchangePath);
  EXPECT_STREQ("", request.settings.szBackendDirectory);
}

// Each path setting the host gives is held as given while it fits, and refuses the request once it
// does not (one byte over, or far over: a value the host cannot hand into the room kept); only a
// setting the host does not give, or gives empty, is the environment's or the default. A refused
// setting leaves nothing in the record: no other directory in the site's place.
TEST(RequestSettings, EachPathSettingIsTheHostsOrRefusesNeverAnotherInItsPlace) {
  TempDir dir;
  const std::string system = dir.path();
  ScopedEnv tmpdir(test_support::kTempVariable, system.c_str());
  ScopedEnv backendEnv("KARVEL_BACKEND_DIR", "/env/backends");
  ScopedEnv prefixEnv("KARVEL_WINE_PREFIX", "/env/prefix");
  ScopedEnv pathsEnv("KARVEL_WINDOWS_PATHS", "C:\\env|/env/apps");
  ScopedEnv tempEnv("KARVEL_TEMP_DIR", "/env/tmp");  // not the temporary directory's source
  const struct Setting {
    const char* name;
    size_t longest;       // the longest value that fits
    LPCSTR refusal;
    std::string Read::*held;
    std::string otherwise;  // what stands in when the host gives none
  } settings[] = {
      {"KARVEL_BACKEND_DIR", MAX_PATH - 1, ERROR_TEXT_EXE_LOAD, &Read::backendDirectory, "/env/backends"},
      {"KARVEL_TEMP_DIR", MAX_PATH - 2, ERROR_TEXT_TEMP_OPEN, &Read::tempDirectory, system + "/"},
      {"KARVEL_WINE_PREFIX", MAX_PATH - 1, ERROR_TEXT_EXE_LOAD, &Read::winePrefix, "/env/prefix"},
      {"KARVEL_WINDOWS_PATHS", WINDOWS_PATHS_ROOM - 1, ERROR_TEXT_EXE_LOAD, &Read::windowsPaths, "C:\\env|/env/apps"},
  };
  enum Given { kNone, kEmpty, kShort, kLongest, kOneOver, kFarOver };
  for (const Setting& setting : settings) {
    for (const Given given : {kNone, kEmpty, kShort, kLongest, kOneOver, kFarOver}) {
      SCOPED_TRACE(std::string(setting.name) + " given as case " + std::to_string(given));
      const size_t length = given == kShort     ? 20
                            : given == kLongest ? setting.longest
                            : given == kOneOver ? setting.longest + 1
                            : given == kFarOver ? 3 * WINDOWS_PATHS_ROOM
                                                : 0;
      const std::string value = PathOfLength("/srv", length);
      FakeEcb fake = FakeEcb::Get("");
      if (given != kNone) fake.Variable(setting.name, value);
      const Read read = ReadSettings(fake);
      const bool fits = given != kOneOver && given != kFarOver;
      EXPECT_EQ(fits ? "" : Text(setting.refusal), read.refusal);
      if (!fits) {
        EXPECT_EQ("", read.*setting.held);
      } else if (given == kNone || given == kEmpty) {
        EXPECT_EQ(setting.otherwise, read.*setting.held);
      } else {
        const bool separated = std::strcmp(setting.name, "KARVEL_TEMP_DIR") == 0;
        EXPECT_EQ(separated ? value + "/" : value, read.*setting.held);
      }
    }
  }
}

// The counts: the host's, else the environment's, else the default; text that is no count of at most
// nine digits counts as none.
TEST(RequestSettings, CountsAreTheHostsElseTheEnvironmentsElseTheDefault) {
  TempDir dir;
  ScopedEnv tmpdir(test_support::kTempVariable, dir.path().c_str());
  const struct {
    const char* host;         // null: not given
    const char* environment;  // null: not set
    int32_t fields;
    int64_t timeoutMs;  // a time-out without a unit is seconds
  } cases[] = {
      {nullptr, nullptr, DEFAULT_MAX_FIELDS, -1},
      {"25", nullptr, 25, 25000},
      {"0", "7", 0, 0},
      {nullptr, "7", 7, 7000},
      {"", "7", 7, 7000},
      {"999999999", nullptr, 999999999, 999999999000},
      {"1000000000", nullptr, DEFAULT_MAX_FIELDS, -1},
      {"12x", nullptr, DEFAULT_MAX_FIELDS, -1},
  };
  // A count the host has but that does not fit the room for one (a host's fault) refuses, never the
  // environment's or the default in its place.
  for (const char* name : {"KARVEL_MAX_FIELDS", "KARVEL_BACKEND_TIMEOUT"}) {
    ScopedEnv fields("KARVEL_MAX_FIELDS", "7");
    ScopedEnv timeout("KARVEL_BACKEND_TIMEOUT", "7");
    FakeEcb fake = FakeEcb::Get("");
    fake.Variable(name, std::string(40, '1').c_str());
    RequestSettings settings{};
    EXPECT_STREQ(ERROR_TEXT_EXE_LOAD, ReadRequestSettings(fake.Ecb(), &settings)) << name;
    ReleaseRequestSettings(&settings);
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.host != nullptr ? c.host : "(none)") + " / " +
                 (c.environment != nullptr ? c.environment : "(none)"));
    ScopedEnv fields("KARVEL_MAX_FIELDS", c.environment);
    ScopedEnv timeout("KARVEL_BACKEND_TIMEOUT", c.environment);
    FakeEcb fake = FakeEcb::Get("");
    if (c.host != nullptr) fake.Variable("KARVEL_MAX_FIELDS", c.host).Variable("KARVEL_BACKEND_TIMEOUT", c.host);
    RequestSettings settings{};
    EXPECT_EQ(nullptr, ReadRequestSettings(fake.Ecb(), &settings));
    EXPECT_EQ(c.fields, settings.nMaxFields);
    EXPECT_EQ(c.timeoutMs, settings.nBackendTimeoutMs);
    ReleaseRequestSettings(&settings);
    ReleaseRequestSettings(&settings);  // released twice: the second does nothing
  }
}

// The host gives the time-out in milliseconds, marked "ms" (sub-second ones too); a number alone is
// seconds; any other spelling is no time-out, from the host or from the environment alike.
TEST(RequestSettings, TimeOutsAreMillisecondsWhereMarkedElseSeconds) {
  TempDir dir;
  ScopedEnv tmpdir(test_support::kTempVariable, dir.path().c_str());
  const struct {
    const char* text;
    int64_t milliseconds;
  } cases[] = {
      {"300ms", 300},          {"1500ms", 1500},        {"0ms", 0},           {"86400000ms", 86400000},
      {"999999999ms", 999999999}, {"2", 2000},          {"1000000000ms", -1}, {"ms", -1},
      {"1500 ms", -1},         {"1500MS", -1},          {"1500msx", -1},      {"15s", -1},
      {"-300ms", -1},          {" 300ms", -1},          {"1.5", -1},          {"300m", -1},
  };
  for (const auto& c : cases) {
    for (const bool fromHost : {true, false}) {
      SCOPED_TRACE(std::string(c.text) + (fromHost ? " from the host" : " from the environment"));
      ScopedEnv timeout("KARVEL_BACKEND_TIMEOUT", fromHost ? nullptr : c.text);
      FakeEcb fake = FakeEcb::Get("");
      if (fromHost) fake.Variable("KARVEL_BACKEND_TIMEOUT", c.text);
      RequestSettings settings{};
      EXPECT_EQ(nullptr, ReadRequestSettings(fake.Ecb(), &settings));
      EXPECT_EQ(c.milliseconds, settings.nBackendTimeoutMs);
      ReleaseRequestSettings(&settings);
    }
  }
}

}  // namespace
