// The host's counting as units: totals exact under threads counting at once, status
// slots, the action table a module declares, and the access log line.
#include <gtest/gtest.h>

#include <boost/asio/ip/address.hpp>
#include <thread>
#include <vector>

#include "host/access_log.h"
#include "host/action_table.h"
#include "host/request_figures.h"

namespace tallyhand::host {
namespace {

using namespace std::chrono_literals;

TEST(RequestFiguresConcurrency, ThreadsCountingAtOnceLoseNothing) {
  RequestFigures figures(3);
  constexpr int kThreads = 8;
  constexpr int kPerThread = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&figures, t] {
      for (int i = 0; i < kPerThread; ++i) {
        figures.CountAnswer(static_cast<size_t>(i % 3), i % 2 == 0 ? 200 : 413, std::chrono::microseconds(t * 100));
        if (i % 10 == 0) figures.CountRefusal(Refusal::Timeout);
      }
    });
  }
  // A scrape while they count sees sums no larger than the final ones.
  const RequestFigures::Totals midway = figures.Read();
  for (std::thread& thread : threads) thread.join();
  const RequestFigures::Totals totals = figures.Read();
  uint64_t answers = 0;
  uint64_t observed = 0;
  double seconds = 0;
  for (const auto& action : totals.actions) {
    for (uint64_t count : action.answersByStatusSlot) answers += count;
    for (uint64_t count : action.durationBuckets) observed += count;
    seconds += action.durationSecondsSum;
  }
  EXPECT_EQ(answers, uint64_t{kThreads} * kPerThread);
  EXPECT_EQ(observed, uint64_t{kThreads} * kPerThread);
  // Thread t adds t * 100 us per answer.
  EXPECT_NEAR(seconds, kPerThread * 100e-6 * (0 + 1 + 2 + 3 + 4 + 5 + 6 + 7), 1e-6);
  EXPECT_EQ(totals.actions[0].answersByStatusSlot[RequestFigures::StatusSlot(200)],
            uint64_t{kThreads} * (kPerThread / 6 + 1));
  EXPECT_EQ(totals.refusals[static_cast<size_t>(Refusal::Timeout)], uint64_t{kThreads} * kPerThread / 10);
  EXPECT_LE(midway.refusals[static_cast<size_t>(Refusal::Timeout)],
            totals.refusals[static_cast<size_t>(Refusal::Timeout)]);
}

TEST(RequestFigures, DurationsLandInTheirBucketAndOddStatusesInTheLastSlot) {
  RequestFigures figures(1);
  figures.CountAnswer(0, 200, 50us);     // below the smallest bound
  figures.CountAnswer(0, 200, 100us);    // on a bound: counted in that bound's bucket
  figures.CountAnswer(0, 200, 20s);      // above every bound
  figures.CountAnswer(7, 999, 1ms);      // unknown action and status
  figures.CountAnswer(0, 99, 1ms);
  const RequestFigures::Totals totals = figures.Read();
  const auto& action = totals.actions[0];
  EXPECT_EQ(action.durationBuckets[0], 2u);
  EXPECT_EQ(action.durationBuckets.back(), 1u);
  EXPECT_EQ(action.durationBuckets[3], 2u);  // 0.001 s
  EXPECT_EQ(action.answersByStatusSlot[RequestFigures::StatusSlot(200)], 3u);
  EXPECT_EQ(action.answersByStatusSlot[RequestFigures::kStatusSlots - 1], 2u);
  EXPECT_EQ(RequestFigures::StatusSlot(599), 499u);
  EXPECT_EQ(RequestFigures::StatusSlot(600), RequestFigures::kStatusSlots - 1);
}

TEST(ActionTable, MatchesAsTheWebModuleDoesAndRefusesUnusableDeclarations) {
  const TALLYHAND_ACTION_PATH good[] = {{"test", "/test.app"}, {"client_request", "/tcclientRequest.app"}};
  ActionTable table;
  std::string error;
  ASSERT_TRUE(table.Load(good, 2, error)) << error;
  EXPECT_EQ(table.Size(), 3u);
  struct Case {
    const char* pathInfo;
    const char* action;
  };
  for (const Case& c : {Case{"/test.app", "test"}, Case{"/TEST.APP", "test"},
                        Case{"/tcclientrequest.app", "client_request"}, Case{"/test.app/", "none"},
                        Case{"", "none"}, Case{"/", "none"}, Case{"/other", "none"}}) {
    EXPECT_EQ(table.Name(table.ActionOf(c.pathInfo)), c.action) << c.pathInfo;
  }

  const TALLYHAND_ACTION_PATH upper[] = {{"Test", "/t"}};
  const TALLYHAND_ACTION_PATH quote[] = {{"a\"b", "/t"}};
  const TALLYHAND_ACTION_PATH none[] = {{"none", "/t"}};
  const TALLYHAND_ACTION_PATH twice[] = {{"a", "/t"}, {"a", "/u"}};
  const TALLYHAND_ACTION_PATH nullPath[] = {{"a", nullptr}};
  const std::string longName(TALLYHAND_ACTION_NAME_MAX + 1, 'a');
  const TALLYHAND_ACTION_PATH tooLong[] = {{longName.c_str(), "/t"}};
  std::vector<TALLYHAND_ACTION_PATH> tooMany(TALLYHAND_ACTIONS_MAX + 1, {"a", "/t"});
  struct Bad {
    const TALLYHAND_ACTION_PATH* actions;
    size_t count;
  };
  for (const Bad& bad : {Bad{upper, 1}, Bad{quote, 1}, Bad{none, 1}, Bad{twice, 2}, Bad{nullPath, 1},
                         Bad{tooLong, 1}, Bad{tooMany.data(), tooMany.size()}, Bad{nullptr, 2}}) {
    ActionTable refused;
    EXPECT_FALSE(refused.Load(bad.actions, bad.count, error));
    EXPECT_EQ(refused.Size(), 1u);
    EXPECT_EQ(refused.Name(refused.ActionOf("/t")), "none");
  }
}

TEST(AccessLine, IsTheCombinedFormatWithTheClientsTextsEscaped) {
  AccessRecord record;
  record.client = boost::asio::ip::make_address("::1");
  record.method = "POST";
  record.target = "/tcclientRequest.app?a=\"1\"\n";
  record.version = 10;
  record.status = 413;
  record.bytes = 0;
  record.referer = "";
  record.userAgent = "evil\\\" \"x";
  record.duration = 1234us;
  const std::string line = FormatAccessLine(record, 0);
  const std::string head = "::1 - - [";
  ASSERT_EQ(line.substr(0, head.size()), head);
  const size_t close = line.find("] ");
  ASSERT_NE(close, std::string::npos);
  EXPECT_EQ(line.substr(close),
            "] \"POST /tcclientRequest.app?a=\\x221\\x22\\x0A HTTP/1.0\" 413 - \"-\" \"evil\\x5C\\x22 \\x22x\" 1234\n");
}

}  // namespace
}  // namespace tallyhand::host
