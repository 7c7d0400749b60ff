// Bodies shared by the POSIX and the Windows suites of whole requests: each suite's fixture makes
// its programs its own way (a shell script, a copy of scripted_backend.exe), but what a request
// must come to is the same on both. A fixture offers Request(FakeEcb&, ExchangeRequest*) and
// TempFiles().
#ifndef KARVEL_TESTS_GATEWAY_BACKEND_RUN_BODIES_H
#define KARVEL_TESTS_GATEWAY_BACKEND_RUN_BODIES_H

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "answer_kinds.h"
#include "gateway/error_page.h"
#include "gateway/request_driver.h"
#include "gateway/fake_ecb.h"
#include "platform/test_hooks.h"

namespace gateway_test {

// `count` requests at once to a program (`query` names it) that answers with its own exchange
// file's path: a reply that names another request's file is cross-talk. Every file goes after.
template <typename Fixture>
void ExpectConcurrentRequestsStayApart(const Fixture& f, const std::string& query, int count) {
  std::vector<std::thread> threads;
  std::vector<std::string> replies(count), paths(count);
  std::vector<DWORD> statuses(count);
  for (int k = 0; k < count; ++k) {
    threads.emplace_back([&, k] {
      FakeEcb fake = FakeEcb::Get(query + "&n=" + std::to_string(k));
      ExchangeRequest request{};
      statuses[k] = f.Request(fake, &request);
      paths[k] = request.szExchangePath;
      if (fake.supportCalls().size() == 1) replies[k] = fake.supportCalls()[0].header;
    });
  }
  for (std::thread& t : threads) t.join();
  for (int k = 0; k < count; ++k) {
    EXPECT_EQ(statuses[k], static_cast<DWORD>(HSE_STATUS_SUCCESS)) << "request " << k;
    EXPECT_EQ(replies[k], paths[k]) << "request " << k;
  }
  EXPECT_EQ(f.TempFiles(), 0) << "every exchange file deleted";
}

// A clock whose minute changes at every reading.
inline int g_clockCalls = 0;
inline void MinuteEveryCall(SYSTEMTIME* now) {
  *now = SYSTEMTIME{};
  now->wYear = 2026;
  now->wMinute = static_cast<WORD>(g_clockCalls++ % 60);
}

// A program (`query` names it) that never answers, and no time-out of the site's: the wait ends at
// the third change of the minute with the time-out page, and the exchange file goes.
template <typename Fixture>
void ExpectTimeOutAtTheThirdMinuteChange(const Fixture& f, const std::string& query) {
  g_clockCalls = 59;  // the reference reading is minute 59; every later reading changes the minute
  karvel_test::SetLocalTimeSource(MinuteEveryCall);
  FakeEcb fake = FakeEcb::Get(query);
  ExchangeRequest request{};
  const DWORD status = f.Request(fake, &request);
  karvel_test::SetLocalTimeSource(nullptr);
  EXPECT_EQ(status, static_cast<DWORD>(HSE_STATUS_ERROR));
  ASSERT_EQ(fake.supportCalls().size(), 1u);
  EXPECT_EQ(fake.supportCalls()[0].header, ErrorPageWith(ERROR_TEXT_TIME_OUT));
  EXPECT_EQ(g_clockCalls, 59 + 4) << "the reference reading and three that changed the minute";
  EXPECT_EQ(f.TempFiles(), 0);
}

}  // namespace gateway_test

#endif  // KARVEL_TESTS_GATEWAY_BACKEND_RUN_BODIES_H
