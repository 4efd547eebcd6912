#include "clock/session_keys.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "clock/scanning_key_table.h"

namespace tallyhand {
namespace {

constexpr TDateTime kMinute = 1.0 / kMinutesPerDay;
// 10:00 on 13 February 2020 as a date-time number.
constexpr TDateTime kTen = 43874.0 + 10.0 / 24.0;

class SessionKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearKeysForTesting();
    SetClockForTesting([this] { return clock_.load(); });
  }
  void TearDown() override {
    SetClockForTesting({});
    SetKeyLetterSourceForTesting({});
    ClearKeysForTesting();
  }
  void SetClock(TDateTime now) { clock_.store(now); }

  // Looks up and reports the ids handed out; -1 when none were.
  struct Lookup {
    bool found;
    std::int32_t uid;
    std::int32_t cid;
  };
  static Lookup Find(std::string_view key) {
    Lookup result{false, -1, -1};
    result.found = CheckKey(key, result.uid, result.cid);
    return result;
  }

  std::atomic<TDateTime> clock_{kTen};
};

TEST_F(SessionKeys, NewKeysAreThirtyTwoLettersFromAToT) {
  std::set<std::string> keys;
  std::array<int, 26> letterCounts{};
  for (int i = 0; i < 300; ++i) {
    const std::string key = GenerateKeyText();
    ASSERT_EQ(key.size(), 32u);
    for (char c : key) {
      ASSERT_GE(c, 'A');
      ASSERT_LE(c, 'T');
      ++letterCounts[static_cast<std::size_t>(c - 'A')];
    }
    keys.insert(key);
  }
  EXPECT_EQ(keys.size(), 300u);
  for (int letter = 0; letter < kKeyAlphabetSize; ++letter) {
    EXPECT_GT(letterCounts[static_cast<std::size_t>(letter)], 0) << char('A' + letter);
  }
}

TEST(KeyLetters, EveryLetterGetsTheSameShareOfByteValues) {
  std::vector<unsigned char> everyByte(256);
  for (int b = 0; b < 256; ++b) everyByte[static_cast<std::size_t>(b)] = static_cast<unsigned char>(b);
  std::string letters;
  EXPECT_FALSE(AppendKeyLetters(everyByte, letters, 1000));
  ASSERT_EQ(letters.size(), 240u);  // 240 to 255 are skipped
  std::map<char, int> counts;
  for (char c : letters) ++counts[c];
  ASSERT_EQ(counts.size(), 20u);
  for (const auto& [letter, count] : counts) EXPECT_EQ(count, 12) << letter;
}

TEST(KeyLetters, MapsSkipsAndStopsAtLength) {
  const std::vector<unsigned char> bytes{0, 19, 240, 20, 255, 239, 1, 2};
  std::string key;
  EXPECT_TRUE(AppendKeyLetters(bytes, key, 5));
  EXPECT_EQ(key, "ATATB");
  std::string longer = "Q";
  EXPECT_FALSE(AppendKeyLetters(std::vector<unsigned char>{250, 7}, longer, 32));
  EXPECT_EQ(longer, "QH");
}

TEST_F(SessionKeys, TestLetterSourceMakesTheKey) {
  int next = 0;
  SetKeyLetterSourceForTesting([&] { return next++ % 20; });
  EXPECT_EQ(GenerateKeyText(), "ABCDEFGHIJKLMNOPQRSTABCDEFGHIJKL");
}

TEST_F(SessionKeys, FoundUntilFifteenMinutesHoweverOftenUsed) {
  const std::string key = CreateKey(42, 3);
  EXPECT_EQ(KeyCount(), 1);
  for (int minute = 0; minute <= 14; ++minute) {
    SetClock(kTen + minute * kMinute);
    for (int use = 0; use < 3; ++use) {
      const Lookup found = Find(key);
      ASSERT_TRUE(found.found) << "minute " << minute;
      EXPECT_EQ(found.uid, 42);
      EXPECT_EQ(found.cid, 3);
    }
  }
  SetClock(kTen + 16 * kMinute);
  const Lookup late = Find(key);
  EXPECT_FALSE(late.found);
  EXPECT_EQ(late.uid, -1);
  EXPECT_EQ(late.cid, -1);
  EXPECT_EQ(KeyCount(), 0);
}

TEST_F(SessionKeys, OnlyTheExactTextMatches) {
  const std::string key = CreateKey(42, 3);
  std::string lower = key;
  for (char& c : lower) c = static_cast<char>(c - 'A' + 'a');
  for (const std::string& wrong :
       {lower, key + " ", " " + key, key.substr(0, 31), key + "A", std::string(),
        key.substr(0, 31) + '\0', std::string(32, '\0')}) {
    const Lookup found = Find(wrong);
    EXPECT_FALSE(found.found) << '"' << wrong << '"';
    EXPECT_EQ(found.uid, -1);
    EXPECT_EQ(found.cid, -1);
  }
  EXPECT_TRUE(Find(key).found);
}

TEST_F(SessionKeys, FailedLookupRemovesEveryExpiredEntry) {
  for (int minute : {0, 1, 2, 10}) {
    SetClock(kTen + minute * kMinute);
    CreateKey(minute, 1);
  }
  SetClock(kTen + 17.5 * kMinute);
  EXPECT_EQ(KeyCount(), 4);  // nothing leaves the table before a lookup
  EXPECT_FALSE(Find("NOSUCHKEY").found);
  EXPECT_EQ(KeyCount(), 1);
}

TEST_F(SessionKeys, SuccessfulLookupRemovesExpiredEntriesIssuedBeforeIt) {
  CreateKey(1, 1);
  SetClock(kTen + kMinute);
  CreateKey(2, 1);
  SetClock(kTen + 10 * kMinute);
  const std::string live = CreateKey(3, 1);
  SetClock(kTen + 16.5 * kMinute);
  const Lookup found = Find(live);
  EXPECT_TRUE(found.found);
  EXPECT_EQ(found.uid, 3);
  EXPECT_EQ(KeyCount(), 1);
}

TEST_F(SessionKeys, EntryExpiringNowNeitherMatchesNorIsRemoved) {
  const std::string key = CreateKey(7, 8);
  SetClock(kTen + kKeyLifetime);  // exactly the stored expiry
  EXPECT_FALSE(Find(key).found);
  EXPECT_EQ(KeyCount(), 1);
  SetClock(kTen + kKeyLifetime + 1e-9);
  EXPECT_FALSE(Find(key).found);
  EXPECT_EQ(KeyCount(), 0);
}

TEST_F(SessionKeys, TwoSignInsOfOneUserGiveTwoLiveKeys) {
  const std::string first = CreateKey(42, 3);
  SetClock(kTen + 5 * kMinute);
  const std::string second = CreateKey(42, 3);
  EXPECT_NE(first, second);
  EXPECT_EQ(KeyCount(), 2);
  SetClock(kTen + 14 * kMinute);
  EXPECT_TRUE(Find(first).found);
  EXPECT_TRUE(Find(second).found);
  SetClock(kTen + 16 * kMinute);
  EXPECT_FALSE(Find(first).found);
  EXPECT_TRUE(Find(second).found);
  EXPECT_EQ(KeyCount(), 1);
}

TEST_F(SessionKeys, ClockStepBackLengthensTheLifeOfEarlierKeys) {
  const std::string key = CreateKey(1, 2);
  SetClock(kTen - 60 * kMinute + 16 * kMinute);  // an hour back, 16 minutes after issue
  EXPECT_TRUE(Find(key).found);
  SetClock(kTen + 14 * kMinute);
  EXPECT_TRUE(Find(key).found);
}

TEST_F(SessionKeys, ClockStepForwardShortensTheLifeOfEarlierKeys) {
  const std::string key = CreateKey(1, 2);
  SetClock(kTen + 60 * kMinute + kMinute);  // an hour forward, one minute after issue
  EXPECT_FALSE(Find(key).found);
  EXPECT_EQ(KeyCount(), 0);
}

// After a step back, a later key can expire before an earlier one. A lookup then leaves
// expired entries behind its match alone and removes the ones before it.
TEST_F(SessionKeys, AfterAStepBackExpiredEntriesBehindTheMatchStay) {
  const std::string early = CreateKey(1, 1);  // expires 10:15
  SetClock(kTen - 55 * kMinute);              // 09:05
  const std::string later = CreateKey(2, 2);  // expires 09:20
  SetClock(kTen - 50 * kMinute);              // 09:10
  const std::string latest = CreateKey(3, 3);  // expires 09:25

  SetClock(kTen - 38 * kMinute);  // 09:22: "later" has expired
  EXPECT_TRUE(Find(early).found);
  EXPECT_EQ(KeyCount(), 3);  // the scan stopped at the first entry
  const Lookup found = Find(latest);
  EXPECT_TRUE(found.found);
  EXPECT_EQ(found.uid, 3);
  EXPECT_EQ(KeyCount(), 2);  // "later" lay before the match
  EXPECT_FALSE(Find(later).found);
  SetClock(kTen - 30 * kMinute);  // 09:30
  EXPECT_FALSE(Find("UNKNOWN").found);
  EXPECT_EQ(KeyCount(), 1);
  EXPECT_TRUE(Find(early).found);
}

// Random issues and lookups, with duplicate key texts and the clock running forward,
// standing still and stepping back, give exactly the scanning table's answers. At the
// slow pace about a thousand keys are live at once, so the index grows and shrinks.
TEST_F(SessionKeys, AgreesWithAFrontToBackScan) {
  const std::array<std::string, 4> pool{std::string(32, 'A'), std::string(32, 'B'),
                                        std::string(32, 'C'), std::string(32, 'D')};
  std::string nextKey;
  std::size_t nextLetter = 0;
  SetKeyLetterSourceForTesting([&] { return nextKey[nextLetter++ % 32] - 'A'; });
  std::mt19937 random(20200213);

  for (const TDateTime longestAdvance : {6 * kMinute, 2.0 / (24 * 3600)}) {
    SCOPED_TRACE(longestAdvance);
    ClearKeysForTesting();
    ScanningKeyTable model;
    TDateTime now = kTen;
    std::vector<TDateTime> issueTimes;
    for (int step = 0; step < 20000; ++step) {
      const int action = static_cast<int>(random() % 1000);
      if (action < 300) {
        now += static_cast<double>(random() % 1000) / 1000 * longestAdvance;
      } else if (action < 302) {
        now -= static_cast<double>(random() % 90) * kMinute;  // a step back
      } else if (action < 320 && !issueTimes.empty()) {
        // Exactly the expiry of an earlier issue: that entry neither matches nor goes.
        now = issueTimes[random() % issueTimes.size()] + kKeyLifetime;
      } else if (action == 999) {
        now += 20 * kMinute;  // everything expires
      }
      SetClock(now);
      const std::string& text = pool[random() % pool.size()];
      if (action % 3 == 0) {
        nextKey = text;
        nextLetter = 0;
        const auto uid = static_cast<std::int32_t>(step);
        ASSERT_EQ(CreateKey(uid, -uid), text);
        model.Add(text, uid, -uid);
        issueTimes.push_back(now);
      } else {
        std::int32_t modelUid = -1, modelCid = -1;
        const bool modelFound = model.Check(text, modelUid, modelCid);
        const Lookup found = Find(text);
        ASSERT_EQ(found.found, modelFound) << "step " << step;
        ASSERT_EQ(found.uid, modelUid) << "step " << step;
        ASSERT_EQ(found.cid, modelCid) << "step " << step;
      }
      ASSERT_EQ(KeyCount(), model.Count()) << "step " << step;
    }
  }
}

// Many request threads issuing and looking up keys at once keep the table whole.
TEST_F(SessionKeys, ConcurrentIssuesAndLookupsStayConsistent) {
  constexpr int kThreads = 25;
  constexpr int kIssuesPerThread = 1000;  // and as many lookups
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      std::vector<std::string> own;
      own.reserve(kIssuesPerThread);
      for (int i = 0; i < kIssuesPerThread; ++i) {
        own.push_back(CreateKey(t, i));
        const std::size_t pick = (static_cast<std::size_t>(i) * 7919u) % own.size();
        std::int32_t uid = -1, cid = -1;
        const bool found = i % 10 == 9 ? CheckKey("NOT A KEY", uid, cid)
                                       : CheckKey(own[pick], uid, cid);
        const bool expected = i % 10 != 9;
        if (found != expected || (found && (uid != t || cid != static_cast<int>(pick)))) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(KeyCount(), kThreads * kIssuesPerThread);
  SetClock(kTen + 16 * kMinute);
  EXPECT_FALSE(Find("NOT A KEY").found);
  EXPECT_EQ(KeyCount(), 0);
}

}  // namespace
}  // namespace tallyhand
