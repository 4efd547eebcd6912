// The readiness answer: what the module's test page checks (the database reachable),
// asked on a thread of its own so that the admin loop never blocks and no extension
// worker is taken. A result holds for the cache interval, and probes arriving while a
// check runs wait for that one: however many probes come, the database sees at most
// one check at a time and one per interval.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "isapi/figures_export.h"

namespace tallyhand::host {

class ReadinessProbe {
 public:
  using Done = std::function<void(bool ready, const std::string& reason)>;

  // loop: the admin loop, where Check is called and done runs. module: null when the
  // module keeps no figures; then ready means serving.
  ReadinessProbe(boost::asio::io_context& loop, const TALLYHAND_FIGURES_EXPORT* module,
                 std::chrono::milliseconds cacheFor);
  ~ReadinessProbe();
  ReadinessProbe(const ReadinessProbe&) = delete;
  ReadinessProbe& operator=(const ReadinessProbe&) = delete;

  // On the admin loop's thread only.
  void Check(Done done);
  // Waits for a check in progress; afterwards no call into the module is made.
  void Stop();

 private:
  void OnChecked(bool ready, std::string reason);

  boost::asio::io_context& loop_;
  const TALLYHAND_FIGURES_EXPORT* module_;
  const std::chrono::milliseconds cacheFor_;
  boost::asio::thread_pool checker_{1};
  // Touched on the admin loop's thread only.
  bool checking_ = false;
  std::optional<std::chrono::steady_clock::time_point> checkedAt_;
  bool ready_ = false;
  std::string reason_;
  std::vector<Done> waiting_;
};

}  // namespace tallyhand::host
