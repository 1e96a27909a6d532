// A backend whose timing and outcome the test controls, so that backlog,
// in-flight work, lane order and failures can be checked without sleeping.
//
// Hold() closes a gate: every later Submit signals that it entered and then
// blocks until Release(). Every switch may be flipped from the test thread
// while the worker runs.
#ifndef IDLEWICK_TESTS_CORE_TEST_BACKEND_H_
#define IDLEWICK_TESTS_CORE_TEST_BACKEND_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/backend.h"

namespace idlewick::testing {

class TestBackend final : public IBackend {
 public:
  enum class Outcome { kEcho, kFail, kThrowStd, kThrowOther };

  explicit TestBackend(DeviceId device) : device_(device) {}

  DeviceId device() const override { return device_; }
  std::string name() const override { return "test"; }

  TaskResult Submit(const Task& task) override {
    {
      std::unique_lock lock(mutex_);
      ++entered_;
      submitted_ids_.push_back(task.id);
      submit_threads_.push_back(std::this_thread::get_id());
      changed_.notify_all();
      changed_.wait(lock, [&] { return !held_; });
    }
    switch (outcome_.load()) {
      case Outcome::kThrowStd:
        throw std::runtime_error("backend exploded");
      case Outcome::kThrowOther:
        throw 42;
      default:
        break;
    }
    TaskResult result;
    result.id = task.id;
    result.latency_ms = latency_ms_.load();
    if (outcome_.load() == Outcome::kFail) {
      result.error_message = "test failure";
      return result;
    }
    result.status = TaskStatus::kOk;
    result.text_output = task.text_input;
    result.numeric_output = task.numeric_input;
    return result;
  }

  bool IsDegraded() const override { return degraded_.load(); }
  void SetDegraded(bool degraded) override { degraded_.store(degraded); }
  bool SupportsKind(TaskKind kind) const override {
    return !(unsupported_mask_.load() & (1u << static_cast<unsigned>(kind)));
  }

  void SetOutcome(Outcome outcome) { outcome_.store(outcome); }
  void SetLatency(double ms) { latency_ms_.store(ms); }
  void SetSupports(TaskKind kind, bool supported) {
    const unsigned bit = 1u << static_cast<unsigned>(kind);
    if (supported) {
      unsupported_mask_.fetch_and(~bit);
    } else {
      unsupported_mask_.fetch_or(bit);
    }
  }

  void Hold() {
    std::lock_guard lock(mutex_);
    held_ = true;
  }
  void Release() {
    std::lock_guard lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }
  // Waits until `count` Submit calls have begun; false after a generous bound.
  bool WaitEntered(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(30),
                             [&] { return entered_ >= count; });
  }
  std::vector<std::uint64_t> SubmittedIds() {
    std::lock_guard lock(mutex_);
    return submitted_ids_;
  }
  std::vector<std::thread::id> SubmitThreads() {
    std::lock_guard lock(mutex_);
    return submit_threads_;
  }

 private:
  const DeviceId device_;
  std::atomic<Outcome> outcome_{Outcome::kEcho};
  std::atomic<double> latency_ms_{1.0};
  std::atomic<bool> degraded_{false};
  std::atomic<unsigned> unsupported_mask_{0};
  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  bool held_ = false;
  int entered_ = 0;
  std::vector<std::uint64_t> submitted_ids_;
  std::vector<std::thread::id> submit_threads_;
};

}  // namespace idlewick::testing

#endif  // IDLEWICK_TESTS_CORE_TEST_BACKEND_H_
