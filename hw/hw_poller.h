// Keeps a recent UtilizationSample available at all times, so that routing and
// telemetry never wait on the operating system or a vendor library.
//
// While running, the poller's own thread calls the source's Sample, publishes
// every successful reading, then pauses `interval` milliseconds in slices of
// at most 10 ms, checking for a stop before each slice. The first sample is
// taken at once. A failed sample leaves the previous reading in place.
//
// Threads:
//   * the polling thread alone calls the source;
//   * Start, Stop and the destructor may be called from any threads; they are
//     serialised with one another, so a Start that arrives while another
//     thread's Stop is joining waits for that Stop to finish;
//   * Latest may be called by any thread at any time, before Start and after
//     Stop too.
#ifndef IDLEWICK_HW_HW_POLLER_H_
#define IDLEWICK_HW_HW_POLLER_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "hw/utilization_source.h"

namespace idlewick {

class HwPoller {
 public:
  // Takes the source over (it may be empty: the poller then never publishes).
  // An interval of 0 or less samples back to back. Starts no thread.
  HwPoller(std::unique_ptr<IUtilizationSource> source,
           std::int64_t interval_ms) noexcept;
  ~HwPoller();

  HwPoller(const HwPoller&) = delete;
  HwPoller& operator=(const HwPoller&) = delete;

  // Starts the polling thread unless it runs. Throws std::system_error if the
  // thread cannot be created (the poller then stays stopped).
  void Start();
  // Stops and joins the polling thread; returns within about one 10 ms slice
  // or when the Sample in progress returns. Does nothing when stopped.
  void Stop();
  bool IsRunning() const noexcept;
  // A copy of the most recent successful reading; all zero before the first.
  UtilizationSample Latest() const;

 private:
  void Run();

  const std::unique_ptr<IUtilizationSource> source_;  // polling thread only
  const std::int64_t interval_ms_;
  mutable std::mutex latest_mutex_;  // guards latest_ only; never held across Sample
  UtilizationSample latest_{};       // guarded by latest_mutex_
  // Serialises Start, Stop and the destructor, and guards thread_. Held while
  // joining, which is fine: the polling thread never takes it.
  std::mutex lifecycle_mutex_;
  std::thread thread_;  // guarded by lifecycle_mutex_
  // Written by Start/Stop under lifecycle_mutex_; read by the polling thread
  // once per slice. Sequentially consistent: the flag is the only thing the
  // loop learns from it, and the cost is nothing next to a 10 ms sleep.
  std::atomic<bool> running_{false};
};

}  // namespace idlewick

#endif  // IDLEWICK_HW_HW_POLLER_H_
