// The float32 payload across the Python boundary: numpy arrays enter tasks as
// zero-copy views kept alive by a keep-alive owner, and echoed payloads leave
// as fresh numpy arrays.
//
// Threads: BorrowArray and CopyToNumpy run on a Python thread holding the
// interpreter lock. The owner made by MakeNumpyOwner may be dropped on any
// thread (a device worker, a claiming thread, a thread tearing a scheduler
// down) and takes the interpreter lock itself to let go of the array; so no
// thread may drop its last share while holding a lock that a thread holding
// the interpreter lock may be waiting for. Once the interpreter is shutting
// down the owner leaks its reference instead of touching the lock.
#ifndef IDLEWICK_PYTHON_NUMPY_PAYLOAD_H_
#define IDLEWICK_PYTHON_NUMPY_PAYLOAD_H_

#include <cstdint>
#include <memory>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "core/numeric_buffer.h"

namespace idlewick::python {

// What the binding converts `numeric_input` to: numpy's array constructor
// with float32, ENSUREARRAY | C_CONTIGUOUS | FORCECAST (0x51). An array that
// already is C-contiguous float32 comes through as that very array; anything
// else is cast or packed into a new one, and an object numpy refuses becomes
// the binding's TypeError.
using FloatArray = pybind11::array_t<float, pybind11::array::c_style |
                                                pybind11::array::forcecast>;

// A shared keep-alive handle holding one new strong reference to `object`.
// Dropping the last share takes the interpreter lock on the dropping thread
// (whatever its state), releases the reference, and restores the lock's
// state. Throws std::bad_alloc (the reference is then not kept).
std::shared_ptr<void> MakeNumpyOwner(pybind11::handle object);

// A view on the array's elements in C order, flattened, kept alive by a
// MakeNumpyOwner owner. `address` receives the first element's address.
// Raises the buffer protocol's error if the array refuses a read-only buffer.
NumericBuffer BorrowArray(const FloatArray& array, std::uint64_t& address);

// None for an empty buffer, else a new one-dimensional float32 array that
// numpy allocated, holding a copy of the elements.
pybind11::object CopyToNumpy(const NumericBuffer& buffer);

}  // namespace idlewick::python

#endif  // IDLEWICK_PYTHON_NUMPY_PAYLOAD_H_
