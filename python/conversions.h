// Names and dictionaries at the Python boundary: device and kind names parsed
// into their enumerations, and results and telemetry turned into the dicts
// that Python callers read.
//
// Every function here runs on a Python thread holding the interpreter lock.
// Failures are raised as Python exceptions (pybind11::error_already_set):
// ValueError for an unknown name, UnicodeDecodeError for result text that is
// not UTF-8.
#ifndef IDLEWICK_PYTHON_CONVERSIONS_H_
#define IDLEWICK_PYTHON_CONVERSIONS_H_

#include <string_view>

#include <pybind11/pybind11.h>

#include "core/task.h"
#include "core/telemetry.h"

namespace idlewick::python {

// Raises the Python exception `type` with `message`; bytes that are not UTF-8
// (a name or path given as raw bytes) appear as backslash escapes rather than
// turning into a decoding error.
[[noreturn]] void RaiseWithText(PyObject* type, std::string_view message);

// Exact, case-sensitive match of "cpu", "igpu" or "dgpu"; anything else
// raises ValueError naming the text as given.
DeviceId ParseDevice(std::string_view text);

// Exact, case-sensitive match of "text_generation", "embedding" or
// "image_generation"; anything else raises ValueError naming the text.
TaskKind ParseTaskKind(std::string_view text);

// A new dict with the keys "id", "status", "text_output", "numeric_output",
// "error_message", "latency_ms", "first_token_latency_ms",
// "tokens_generated", "image_width" and "image_height", in that order. The
// numeric output is copied into a new float32 array (None when empty). Text
// is decoded strictly; invalid UTF-8 raises UnicodeDecodeError.
pybind11::dict ResultToDict(const TaskResult& result);

// A new dict with the keys "device", "registered", "degraded",
// "utilization_pct", "queue_depth", "historical_latency_ms",
// "completed_count" and "failed_count", in that order.
pybind11::dict TelemetryToDict(const DeviceTelemetry& record);

}  // namespace idlewick::python

#endif  // IDLEWICK_PYTHON_CONVERSIONS_H_
