#include "hw/hw_poller.h"

#include <chrono>
#include <utility>

namespace idlewick {

HwPoller::HwPoller(std::unique_ptr<IUtilizationSource> source,
                   std::int64_t interval_ms) noexcept
    : source_(std::move(source)), interval_ms_(interval_ms) {}

HwPoller::~HwPoller() { Stop(); }

void HwPoller::Start() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  bool expected = false;
  if (!running_.compare_exchange_strong(expected, true)) return;
  try {
    thread_ = std::thread(&HwPoller::Run, this);
  } catch (...) {
    running_.store(false);
    throw;
  }
}

void HwPoller::Stop() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  bool expected = true;
  if (!running_.compare_exchange_strong(expected, false)) return;
  if (thread_.joinable()) thread_.join();
}

bool HwPoller::IsRunning() const noexcept { return running_.load(); }

UtilizationSample HwPoller::Latest() const {
  std::lock_guard lock(latest_mutex_);
  return latest_;
}

void HwPoller::Run() {
  using std::chrono::milliseconds;
  while (running_.load()) {
    UtilizationSample reading{};
    if (source_ != nullptr && source_->Sample(reading)) {
      std::lock_guard lock(latest_mutex_);
      latest_ = reading;
    }
    // Sleeping in slices bounds how long Stop waits for an idle poller.
    // sleep_for resumes after a signal for the time left.
    for (std::int64_t remaining = interval_ms_;
         remaining > 0 && running_.load();) {
      const std::int64_t slice = remaining > 9 ? 10 : remaining;
      std::this_thread::sleep_for(milliseconds(slice));
      remaining -= slice;
    }
  }
}

}  // namespace idlewick
