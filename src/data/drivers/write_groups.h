// Group commit: concurrent writers share one durable commit. Each writer's work runs in a
// savepoint of its own inside the group's transaction, so a failing writer undoes only its
// own work; the group then commits once. A writer returns only after its group's commit,
// and every writer of a group whose commit failed gets an error: nothing that returned
// success can be lost.
//
// While one group commits, the writers arriving meanwhile queue; the first of them then
// runs the next group on its own thread (leader), the others wait for its outcome. A lone
// writer forms a group of one at once, so nobody waits for company.
//
// Connection is the group's connection, used only by the current leader:
//   void BeginGroup();                       // opens the group's transaction
//   void RunMember(const Work& work);        // work(*this) in a savepoint; raises its error
//   bool InGroup();                          // the transaction is still open
//   void CommitGroup();                      // the durable commit
//   void AbandonGroup() noexcept;            // rolls back whatever is open
//   bool IsAlive();                          // false: opened anew for the next group
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/exception.h"

namespace tallyhand {

template <class Connection>
class WriteGroups {
 public:
  using Work = std::function<void(Connection&)>;
  using Opener = std::function<std::unique_ptr<Connection>()>;

  WriteGroups(Opener open, std::size_t maxMembers)
      : open_(std::move(open)), maxMembers_(maxMembers > 0 ? maxMembers : 1) {}
  WriteGroups(const WriteGroups&) = delete;
  WriteGroups& operator=(const WriteGroups&) = delete;

  // Runs work on the group's connection and returns once its group committed durably.
  // Raises work's own error (its savepoint undone, the rest of the group unaffected), or
  // EDatabaseError when the group could not begin or commit.
  void Run(const Work& work) {
    Member self{&work};
    std::unique_lock lock(mutex_);
    waiting_.push_back(&self);
    while (!self.done) {
      if (leading_) {
        self.wake.wait(lock);
        continue;
      }
      leading_ = true;
      std::vector<Member*> group;
      while (!waiting_.empty() && group.size() < maxMembers_) {
        group.push_back(waiting_.front());
        waiting_.pop_front();
      }
      lock.unlock();
      RunGroup(group);
      lock.lock();
      leading_ = false;
      // Notified under the lock: a member may return, and free its condition, as soon as
      // it sees done.
      for (Member* member : group) {
        member->done = true;
        if (member != &self) member->wake.notify_one();
      }
      if (!waiting_.empty()) waiting_.front()->wake.notify_one();  // the next leader
    }
    lock.unlock();
    if (self.error) std::rethrow_exception(self.error);
  }

  // Groups run so far and writers they held (for benchmarks and tests).
  struct Counts {
    std::size_t groups = 0;
    std::size_t members = 0;
  };
  Counts CountsSoFar() {
    std::lock_guard lock(mutex_);
    return counts_;
  }
  // Writers queued for the next group.
  std::size_t WaitingNow() {
    std::lock_guard lock(mutex_);
    return waiting_.size();
  }

 private:
  struct Member {
    explicit Member(const Work* w) : work(w) {}
    const Work* work;
    std::exception_ptr error;
    bool done = false;
    std::condition_variable wake;
  };

  static void FailAll(const std::vector<Member*>& members, std::size_t from, std::size_t to,
                      const std::string& message) {
    for (std::size_t i = from; i < to; ++i) {
      if (!members[i]->error)
        members[i]->error = std::make_exception_ptr(EDatabaseError(message));
    }
  }

  static std::string MessageOf(std::exception_ptr error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      return e.what();
    } catch (...) {
      return "unknown error";
    }
  }

  // Only the leader is here, so connection_ needs no lock.
  Connection& GroupConnection() {
    if (connection_ && !connection_->IsAlive()) connection_.reset();
    if (!connection_) connection_ = open_();
    return *connection_;
  }

  bool Begin(const std::vector<Member*>& group, std::size_t from) {
    try {
      GroupConnection().BeginGroup();
      return true;
    } catch (...) {
      FailAll(group, from, group.size(),
              "The write could not begin: " + MessageOf(std::current_exception()));
      if (connection_) connection_->AbandonGroup();
      return false;
    }
  }

  void RunGroup(const std::vector<Member*>& group) {
    {
      std::lock_guard lock(mutex_);
      ++counts_.groups;
      counts_.members += group.size();
    }
    if (!Begin(group, 0)) return;
    std::size_t groupStart = 0;  // first member of the transaction now open
    for (std::size_t i = 0; i < group.size(); ++i) {
      try {
        connection_->RunMember(*group[i]->work);
      } catch (...) {
        group[i]->error = std::current_exception();
        // Some failures (a full disk, an I/O error) roll back the whole transaction:
        // the members before this one lost their work too.
        if (!connection_->InGroup()) {
          FailAll(group, groupStart, i,
                  "The write was rolled back with another one of its group: " +
                      MessageOf(group[i]->error));
          groupStart = i + 1;
          if (i + 1 < group.size() && !Begin(group, i + 1)) return;
        }
      }
    }
    if (!connection_->InGroup()) return;
    try {
      connection_->CommitGroup();
    } catch (...) {
      FailAll(group, groupStart, group.size(),
              "The write could not be committed: " + MessageOf(std::current_exception()));
      connection_->AbandonGroup();
    }
  }

  const Opener open_;
  const std::size_t maxMembers_;
  std::unique_ptr<Connection> connection_;
  std::mutex mutex_;
  std::deque<Member*> waiting_;
  bool leading_ = false;
  Counts counts_;
};

}  // namespace tallyhand
