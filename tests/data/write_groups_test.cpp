#include "data/drivers/write_groups.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/exception.h"

namespace tallyhand {
namespace {

using namespace std::chrono_literals;

// A group connection that records what the groups did. BeginGroup can be held until
// released, so that the writers arriving meanwhile queue up for one group.
class FakeGroupConnection {
 public:
  struct Script {
    std::mutex mutex;
    std::condition_variable released;
    bool holdBegin = false;
    bool failCommitOfOddGroups = false;
    int groupsBegun = 0;
    std::vector<int> committed;  // members' marks, in commit order
  };
  explicit FakeGroupConnection(Script& script) : script_(script) {}

  void BeginGroup() {
    std::unique_lock lock(script_.mutex);
    script_.released.wait(lock, [this] { return !script_.holdBegin; });
    ++script_.groupsBegun;
    open_ = true;
    pending_.clear();
  }
  void RunMember(const std::function<void(FakeGroupConnection&)>& work) {
    const std::size_t before = pending_.size();
    try {
      work(*this);
    } catch (...) {
      if (open_) pending_.resize(before);  // the savepoint undone
      throw;
    }
  }
  bool InGroup() { return open_; }
  void CommitGroup() {
    std::lock_guard lock(script_.mutex);
    if (script_.failCommitOfOddGroups && script_.groupsBegun % 2 == 1)
      throw EDatabaseError("disk I/O error");
    script_.committed.insert(script_.committed.end(), pending_.begin(), pending_.end());
    open_ = false;
  }
  void AbandonGroup() noexcept {
    pending_.clear();
    open_ = false;
  }
  bool IsAlive() { return true; }

  // What a member's work does.
  void Write(int mark) { pending_.push_back(mark); }
  void LoseTheWholeTransaction() {
    pending_.clear();
    open_ = false;
  }
  int Group() {
    std::lock_guard lock(script_.mutex);
    return script_.groupsBegun;
  }

 private:
  Script& script_;
  bool open_ = false;
  std::vector<int> pending_;
};

using Groups = WriteGroups<FakeGroupConnection>;

struct Outcome {
  int group = 0;
  std::optional<std::string> error;
};

// Runs one writer per work on threads of its own while the first group is held, so that
// every writer after the first lands in the second group, in order of the works.
std::vector<Outcome> RunHeldThenReleased(
    FakeGroupConnection::Script& script, Groups& groups,
    const std::vector<std::function<void(FakeGroupConnection&)>>& works) {
  script.holdBegin = true;
  const std::size_t groupsBefore = groups.CountsSoFar().groups;
  std::vector<Outcome> outcomes(works.size());
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < works.size(); ++i) {
    threads.emplace_back([&, i] {
      try {
        groups.Run([&](FakeGroupConnection& c) {
          outcomes[i].group = c.Group();
          works[i](c);
        });
      } catch (const std::exception& e) {
        outcomes[i].error = e.what();
      }
    });
    // In order: the first leads the held group, the others queue one by one.
    if (i == 0) {
      while (groups.CountsSoFar().groups == groupsBefore) std::this_thread::sleep_for(1ms);
    } else {
      while (groups.WaitingNow() < i) std::this_thread::sleep_for(1ms);
    }
  }
  {
    std::lock_guard lock(script.mutex);
    script.holdBegin = false;
  }
  script.released.notify_all();
  for (auto& thread : threads) thread.join();
  return outcomes;
}

TEST(ConcurrentWriteGroups, WritersQueuedDuringACommitShareTheNextOneAndAFailingWriterUndoesOnlyItsOwn) {
  FakeGroupConnection::Script script;
  Groups groups([&] { return std::make_unique<FakeGroupConnection>(script); }, 64);
  const auto outcomes = RunHeldThenReleased(
      script, groups,
      {[](FakeGroupConnection& c) { c.Write(1); }, [](FakeGroupConnection& c) { c.Write(2); },
       [](FakeGroupConnection& c) {
         c.Write(3);
         throw EDatabaseError("constraint failed");
       },
       [](FakeGroupConnection& c) { c.Write(4); }});
  EXPECT_EQ(outcomes[0].group, 1);
  for (std::size_t i = 1; i < outcomes.size(); ++i) EXPECT_EQ(outcomes[i].group, 2) << i;
  EXPECT_FALSE(outcomes[0].error);
  EXPECT_FALSE(outcomes[1].error);
  EXPECT_EQ(outcomes[2].error, "constraint failed");
  EXPECT_FALSE(outcomes[3].error);
  EXPECT_EQ(script.committed, (std::vector<int>{1, 2, 4}));
  EXPECT_EQ(groups.CountsSoFar().groups, 2u);
}

TEST(ConcurrentWriteGroups, AFailedCommitAnswersAnErrorToEveryWriterOfItsGroupOnly) {
  FakeGroupConnection::Script script;
  script.failCommitOfOddGroups = true;
  Groups groups([&] { return std::make_unique<FakeGroupConnection>(script); }, 64);
  // Group 1 (the first writer) fails its commit, group 2 (the other three) commits, and a
  // writer that failed on its own keeps its own error.
  const auto outcomes = RunHeldThenReleased(
      script, groups,
      {[](FakeGroupConnection& c) { c.Write(1); }, [](FakeGroupConnection& c) { c.Write(2); },
       [](FakeGroupConnection&) { throw EDatabaseError("constraint failed"); },
       [](FakeGroupConnection& c) { c.Write(4); }});
  ASSERT_TRUE(outcomes[0].error);
  EXPECT_NE(outcomes[0].error->find("could not be committed: disk I/O error"), std::string::npos);
  EXPECT_FALSE(outcomes[1].error);
  EXPECT_EQ(outcomes[2].error, "constraint failed");
  EXPECT_FALSE(outcomes[3].error);
  EXPECT_EQ(script.committed, (std::vector<int>{2, 4}));

  // A group of several whose commit fails: all of them get the error.
  const auto third = RunHeldThenReleased(
      script, groups,
      {[](FakeGroupConnection& c) { c.Write(5); }, [](FakeGroupConnection& c) { c.Write(6); }});
  EXPECT_EQ(third[0].group, 3);
  EXPECT_TRUE(third[0].error);
  EXPECT_FALSE(third[1].error);  // group 4
  EXPECT_EQ(script.committed, (std::vector<int>{2, 4, 6}));
}

TEST(ConcurrentWriteGroups, AWriterWhoseFailureRollsBackTheWholeTransactionFailsTheWritersBeforeIt) {
  FakeGroupConnection::Script script;
  Groups groups([&] { return std::make_unique<FakeGroupConnection>(script); }, 64);
  const auto outcomes = RunHeldThenReleased(
      script, groups,
      {[](FakeGroupConnection& c) { c.Write(1); }, [](FakeGroupConnection& c) { c.Write(2); },
       [](FakeGroupConnection& c) {
         c.LoseTheWholeTransaction();
         throw EDatabaseError("database or disk is full");
       },
       [](FakeGroupConnection& c) { c.Write(4); }});
  EXPECT_FALSE(outcomes[0].error);
  ASSERT_TRUE(outcomes[1].error);
  EXPECT_NE(outcomes[1].error->find("rolled back with another one of its group"),
            std::string::npos);
  EXPECT_EQ(outcomes[2].error, "database or disk is full");
  EXPECT_FALSE(outcomes[3].error);  // in a transaction begun anew
  EXPECT_EQ(script.committed, (std::vector<int>{1, 4}));
}

TEST(ConcurrentWriteGroups, ConcurrentWritersAreEachCommittedOnceOrAnsweredAnError) {
  FakeGroupConnection::Script script;
  script.failCommitOfOddGroups = true;
  Groups groups([&] { return std::make_unique<FakeGroupConnection>(script); }, 8);
  constexpr int kThreads = 12;
  constexpr int kWrites = 40;
  std::mutex mutex;
  std::vector<int> succeeded;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < kWrites; ++n) {
        const int mark = t * kWrites + n;
        try {
          groups.Run([mark](FakeGroupConnection& c) { c.Write(mark); });
          std::lock_guard lock(mutex);
          succeeded.push_back(mark);
        } catch (const EDatabaseError&) {
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::sort(succeeded.begin(), succeeded.end());
  std::vector<int> committed = script.committed;
  std::sort(committed.begin(), committed.end());
  EXPECT_EQ(committed, succeeded);
  EXPECT_EQ(groups.CountsSoFar().members, static_cast<std::size_t>(kThreads * kWrites));
}

}  // namespace
}  // namespace tallyhand
