// A float32 payload that either owns its values or is a zero-copy view on
// memory that belongs to someone else.
//
// The mode is decided by `owner` alone: the buffer is a view exactly when
// `owner` is non-empty, and `owner` keeps the borrowed memory alive. Copying a
// view shares the owner and never copies the floats; copying owned values
// copies them. When the last share of an owner is dropped its release action
// runs on whichever thread dropped it, so release actions must be safe on any
// thread.
//
// Not thread-safe: one buffer is used by one thread at a time (distinct copies
// sharing one owner may live on different threads).
#ifndef IDLEWICK_CORE_NUMERIC_BUFFER_H_
#define IDLEWICK_CORE_NUMERIC_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace idlewick {

struct NumericBuffer {
  NumericBuffer() = default;
  // Owned mode: takes the values over.
  explicit NumericBuffer(std::vector<float> values) noexcept
      : owned_values(std::move(values)) {}

  // A view on `size` floats at `data`, readable for as long as any share of
  // `owner` is alive. An empty `owner` yields an empty owned buffer.
  static NumericBuffer View(const float* data, std::uint64_t size,
                            std::shared_ptr<void> owner) noexcept;

  NumericBuffer(const NumericBuffer&) = default;
  NumericBuffer& operator=(const NumericBuffer&) = default;
  // Moving transfers everything and leaves the source empty, owned mode.
  NumericBuffer(NumericBuffer&& other) noexcept;
  NumericBuffer& operator=(NumericBuffer&& other) noexcept;
  ~NumericBuffer() = default;

  bool is_view() const noexcept { return owner != nullptr; }
  std::uint64_t size() const noexcept {
    return is_view() ? view_size : owned_values.size();
  }
  const float* data() const noexcept {
    return is_view() ? view_data : owned_values.data();
  }

  // Readers go through size() and data(); the members are public only so that
  // the payload's parts can be inspected and built without ceremony.
  std::vector<float> owned_values;   // owned mode only
  const float* view_data = nullptr;  // view mode only
  std::uint64_t view_size = 0;       // view mode only
  std::shared_ptr<void> owner;       // non-empty exactly in view mode
};

}  // namespace idlewick

#endif  // IDLEWICK_CORE_NUMERIC_BUFFER_H_
