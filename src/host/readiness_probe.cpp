#include "host/readiness_probe.h"

#include <boost/asio/post.hpp>

#include <array>

namespace tallyhand::host {

namespace net = boost::asio;

ReadinessProbe::ReadinessProbe(net::io_context& loop, const TALLYHAND_FIGURES_EXPORT* module,
                               std::chrono::milliseconds cacheFor)
    : loop_(loop), module_(module), cacheFor_(cacheFor) {}

ReadinessProbe::~ReadinessProbe() { Stop(); }

void ReadinessProbe::Stop() { checker_.join(); }

void ReadinessProbe::Check(Done done) {
  if (module_ == nullptr) return done(true, {});
  const auto now = std::chrono::steady_clock::now();
  if (checkedAt_ && now - *checkedAt_ < cacheFor_) return done(ready_, reason_);
  waiting_.push_back(std::move(done));
  if (checking_) return;
  checking_ = true;
  net::post(checker_, [this] {
    std::array<char, 512> reason{};
    bool ready = false;
    try {
      ready = module_->CheckReady(reason.data(), static_cast<DWORD>(reason.size())) != 0;
    } catch (...) {
      ready = false;
    }
    reason.back() = '\0';
    std::string why = ready ? std::string() : std::string(reason.data());
    net::post(loop_, [this, ready, why = std::move(why)]() mutable { OnChecked(ready, std::move(why)); });
  });
}

void ReadinessProbe::OnChecked(bool ready, std::string reason) {
  checking_ = false;
  // The interval runs from the answer, so a slow check is not repeated at once.
  checkedAt_ = std::chrono::steady_clock::now();
  ready_ = ready;
  reason_ = std::move(reason);
  std::vector<Done> waiting;
  waiting.swap(waiting_);
  for (Done& done : waiting) done(ready_, reason_);
}

}  // namespace tallyhand::host
