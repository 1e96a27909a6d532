#include "python/numpy_payload.h"

#include <algorithm>
#include <cstddef>

namespace py = pybind11;

namespace idlewick::python {
namespace {

// True once the interpreter has begun (or finished) shutting down. Taking the
// lock from a foreign thread then is fatal (the interpreter ends such threads
// mid-call), so the reference is left to the dying interpreter.
bool InterpreterShuttingDown() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return !Py_IsInitialized() || Py_IsFinalizing();
#else
  return !Py_IsInitialized() || _Py_IsFinalizing();
#endif
}

// The separately allocated holder of one strong reference.
struct ArrayReference {
  PyObject* object;
};

void ReleaseArrayReference(ArrayReference* reference) noexcept {
  if (!InterpreterShuttingDown()) {
    // Works from every state: a thread that holds the lock keeps it, one that
    // released it takes it back, one that never ran Python gets a thread state
    // for the duration.
    const PyGILState_STATE state = PyGILState_Ensure();
    Py_DECREF(reference->object);
    PyGILState_Release(state);
  }
  delete reference;
}

}  // namespace

std::shared_ptr<void> MakeNumpyOwner(py::handle object) {
  auto* reference = new ArrayReference{object.inc_ref().ptr()};
  // Should the control block fail to allocate, shared_ptr runs the release
  // action on `reference` before rethrowing, dropping the reference again.
  return std::shared_ptr<void>(reference, &ReleaseArrayReference);
}

NumericBuffer BorrowArray(const FloatArray& array, std::uint64_t& address) {
  // PyBUF_STRIDES | PyBUF_FORMAT, read-only; released when `info` goes.
  const py::buffer_info info = array.request();
  std::uint64_t count = 1;
  for (const py::ssize_t extent : info.shape) count *= static_cast<std::uint64_t>(extent);
  const auto* data = static_cast<const float*>(info.ptr);
  NumericBuffer view = NumericBuffer::View(data, count, MakeNumpyOwner(array));
  address = reinterpret_cast<std::uint64_t>(data);
  return view;
}

py::object CopyToNumpy(const NumericBuffer& buffer) {
  const std::uint64_t size = buffer.size();
  if (size == 0) return py::none();
  py::array_t<float> out(static_cast<py::ssize_t>(size));
  // mutable_data checks writeability ("array is not writeable").
  std::copy_n(buffer.data(), static_cast<std::size_t>(size), out.mutable_data());
  return out;
}

}  // namespace idlewick::python
