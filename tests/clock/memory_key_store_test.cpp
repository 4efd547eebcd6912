// The memory store's limit of live keys per user and company: past it the user's oldest
// key gives way, nobody else's key is touched, and one account signing in in a loop
// keeps the table's memory flat.
#include "clock/memory_key_store.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <random>
#include <string>
#include <vector>

#include "clock/scanning_key_table.h"
#include "clock/session_keys.h"

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (GCC ships no header for it): malloc's figures are not kept.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace tallyhand {
namespace {

constexpr TDateTime kMinute = 1.0 / kMinutesPerDay;
constexpr TDateTime kTen = 43874.0 + 10.0 / 24.0;

// Bytes the process has allocated and not freed.
std::size_t AllocatedBytes() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
#endif
}

class MemoryKeyStoreLimit : public ::testing::Test {
 protected:
  void SetUp() override { SetClockForTesting([this] { return clock_; }); }
  void TearDown() override { SetClockForTesting({}); }

  static bool Found(KeyStore& store, const std::string& key, std::int32_t uid, std::int32_t cid) {
    std::int32_t foundUid = -1, foundCid = -1;
    return store.Check(key, foundUid, foundCid) && foundUid == uid && foundCid == cid;
  }
  static std::string Issue(KeyStore& store, std::int32_t uid, std::int32_t cid) {
    std::string key = GenerateKeyText();
    store.Add(key, uid, cid);
    return key;
  }

  TDateTime clock_ = kTen;
};

TEST_F(MemoryKeyStoreLimit, OldestKeysOfTheUserGiveWayAndNoOneElses) {
  MemoryKeyStore store(3);
  const std::string otherBefore = Issue(store, 7, 1);
  std::vector<std::string> keys;
  for (int i = 0; i < 5; ++i) {
    keys.push_back(Issue(store, 42, 1));
    clock_ += kMinute;
  }
  const std::string sameUserOtherCompany = Issue(store, 42, 2);
  const std::string otherAfter = Issue(store, 7, 1);

  EXPECT_FALSE(Found(store, keys[0], 42, 1));
  EXPECT_FALSE(Found(store, keys[1], 42, 1));
  for (int i = 2; i < 5; ++i) EXPECT_TRUE(Found(store, keys[static_cast<std::size_t>(i)], 42, 1)) << i;
  EXPECT_TRUE(Found(store, otherBefore, 7, 1));
  EXPECT_TRUE(Found(store, otherAfter, 7, 1));
  EXPECT_TRUE(Found(store, sameUserOtherCompany, 42, 2));
  EXPECT_EQ(store.Count(), 3 + 2 + 1);
}

// Random issues for a few users and lookups, with the clock running forward and
// stepping back (which removes entries from the middle of a user's keys), give exactly
// the model's answers.
TEST_F(MemoryKeyStoreLimit, AgreesWithAScanThatHoldsEachUserToTheLimit) {
  constexpr std::size_t kLimit = 4;
  std::mt19937 random(17);
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE(round);
    MemoryKeyStore store(kLimit);
    ScanningKeyTable model(kLimit);
    std::vector<std::string> issued;
    clock_ = kTen;
    for (int step = 0; step < 6000; ++step) {
      const int action = static_cast<int>(random() % 100);
      if (action < 30) {
        clock_ += static_cast<double>(random() % 1000) / 1000 * kMinute;
      } else if (action == 30) {
        clock_ -= static_cast<double>(random() % 40) * kMinute;
      }
      if (action % 2 == 0) {
        const auto uid = static_cast<std::int32_t>(random() % 3);
        const std::string key = GenerateKeyText();
        store.Add(key, uid, 1);
        model.Add(key, uid, 1);
        issued.push_back(key);
      } else if (!issued.empty()) {
        const std::string& key = issued[issued.size() - 1 - random() % std::min<std::size_t>(issued.size(), 20)];
        std::int32_t uid = -1, cid = -1, modelUid = -1, modelCid = -1;
        const bool modelFound = model.Check(key, modelUid, modelCid);
        ASSERT_EQ(store.Check(key, uid, cid), modelFound) << "step " << step;
        ASSERT_EQ(uid, modelUid) << "step " << step;
        ASSERT_EQ(cid, modelCid) << "step " << step;
      }
      ASSERT_EQ(store.Count(), model.Count()) << "step " << step;
    }
  }
}

// One valid account signing in a few hundred thousand times: the table's memory stays
// where it was after the first thousands, and another user's key still works.
TEST_F(MemoryKeyStoreLimit, SignInFloodOfOneAccountKeepsMemoryFlat) {
  MemoryKeyStore store(kDefaultMaxKeysPerUser);
  const std::string bystander = Issue(store, 7, 3);
  std::string last;
  const auto flood = [&](int signIns) {
    for (int i = 0; i < signIns; ++i) {
      last = Issue(store, 45, 1);
      // About 30,000 a second, as a loop over HTTP manages.
      if (i % 1000 == 0) clock_ += 0.033 / (24 * 3600);
    }
  };
  flood(20'000);
  const std::size_t warmed = AllocatedBytes();
  flood(280'000);
  const std::size_t after = AllocatedBytes();
  // Without the limit these sign-ins would hold 280,000 more keys (over 15 MB).
  EXPECT_LT(after, warmed + 512 * 1024) << "grew by " << (after - std::min(after, warmed)) << " bytes";
  EXPECT_EQ(store.Count(), static_cast<std::int32_t>(kDefaultMaxKeysPerUser) + 1);
  EXPECT_TRUE(Found(store, bystander, 7, 3));
  EXPECT_TRUE(Found(store, last, 45, 1));
}

}  // namespace
}  // namespace tallyhand
