#include "core/numeric_buffer.h"

#include <utility>

namespace idlewick {

NumericBuffer NumericBuffer::View(const float* data, std::uint64_t size,
                                  std::shared_ptr<void> owner) noexcept {
  NumericBuffer view;
  if (owner != nullptr) {
    view.view_data = data;
    view.view_size = size;
    view.owner = std::move(owner);
  }
  return view;
}

NumericBuffer::NumericBuffer(NumericBuffer&& other) noexcept
    : owned_values(std::exchange(other.owned_values, {})),
      view_data(std::exchange(other.view_data, nullptr)),
      view_size(std::exchange(other.view_size, 0)),
      owner(std::move(other.owner)) {}

NumericBuffer& NumericBuffer::operator=(NumericBuffer&& other) noexcept {
  if (this != &other) {
    owned_values = std::exchange(other.owned_values, {});
    view_data = std::exchange(other.view_data, nullptr);
    view_size = std::exchange(other.view_size, 0);
    // The old owner (if any) is dropped here, on this thread.
    owner = std::move(other.owner);
  }
  return *this;
}

}  // namespace idlewick
