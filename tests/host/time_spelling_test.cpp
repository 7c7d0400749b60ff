// Time values as operators write them for the Karvel directives, put in the spelling httpd's own
// parser reads: every unit it knows, minutes as "m" too, and nothing it would misread.
#include <gtest/gtest.h>

#include <string>

#include "host/module/time_spelling.h"

namespace {

TEST(TimeSpelling, UnitsAreHttpdsAndMinutesAlsoM) {
  const struct {
    const char* written;
    const char* spelled;  // nullptr: refused
  } cases[] = {
      {"30", "30"},
      {"0", "0"},
      {"500ms", "500ms"},
      {"30s", "30s"},
      {"2m", "2mi"},
      {"2mi", "2mi"},
      {"1h", "1h"},
      {"999999999", "999999999"},
      {"999999999mi", "999999999mi"},
      {"007s", "007s"},
      // httpd would read these as something else, or take them whole: refused here.
      {"1000000000", nullptr},  // beyond the digits kept
      {"-1", nullptr},
      {"+5", nullptr},
      {"5sec", nullptr},
      {"5 s", nullptr},
      {" 5s", nullptr},
      {"5s ", nullptr},
      {"1.5s", nullptr},
      {"5S", nullptr},
      {"5MS", nullptr},
      {"5min", nullptr},
      {"5msx", nullptr},
      {"5d", nullptr},
      {"s", nullptr},
      {"ms", nullptr},
      {"", nullptr},
      {"0x10", nullptr},
  };
  for (const auto& c : cases) {
    char spelled[kTimeSpellingRoom] = "untouched";
    const bool taken = ApacheTimeSpelling(c.written, spelled, sizeof spelled);
    EXPECT_EQ(taken, c.spelled != nullptr) << c.written;
    if (taken && c.spelled != nullptr) {
      EXPECT_STREQ(spelled, c.spelled) << c.written;
    }
  }
}

// The room given is kept to: a spelling that does not fit is refused, not cut.
TEST(TimeSpelling, TheRoomGivenIsKept) {
  const struct {
    const char* written;
    size_t room;
    bool taken;
  } cases[] = {
      {"2m", 4, true}, {"2m", 3, false}, {"999999999mi", kTimeSpellingRoom, true},
      {"999999999mi", kTimeSpellingRoom - 1, false}, {"5", 2, true}, {"5", 1, false}, {"5", 0, false},
  };
  for (const auto& c : cases) {
    std::string room(c.room + 1, '#');  // one byte beyond the room, which must stay untouched
    EXPECT_EQ(ApacheTimeSpelling(c.written, room.data(), c.room), c.taken) << c.written << " in " << c.room;
    EXPECT_EQ(room.back(), '#') << c.written << " in " << c.room;
  }
}

}  // namespace
