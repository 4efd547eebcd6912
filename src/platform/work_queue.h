// A blocking queue of work items for a fixed set of worker threads. A stop item (an
// empty optional) ends one worker's loop, behind any items already queued.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

namespace tallyhand {

template <typename Item>
class WorkQueue {
 public:
  void Post(Item item) { Push(std::optional<Item>(std::move(item))); }
  void PostStop() { Push(std::nullopt); }

  // Waits without limit; an empty optional is a stop item.
  std::optional<Item> Take() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return !items_.empty(); });
    std::optional<Item> item = std::move(items_.front());
    items_.pop_front();
    return item;
  }

 private:
  void Push(std::optional<Item> item) {
    {
      std::lock_guard lock(mutex_);
      items_.push_back(std::move(item));
    }
    ready_.notify_one();
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::optional<Item>> items_;
};

}  // namespace tallyhand
