#include "python/conversions.h"

#include <string>

#include "python/numpy_payload.h"

namespace py = pybind11;

namespace idlewick::python {
namespace {

// Raises ValueError with `prefix`, the text as given, and a closing quote.
[[noreturn]] void RaiseUnknownName(std::string_view prefix, std::string_view text) {
  std::string message;
  message.reserve(prefix.size() + text.size() + 1);
  message.append(prefix).append(text).push_back('\'');
  RaiseWithText(PyExc_ValueError, message);
}

// Strict UTF-8 decoding; the interpreter's UnicodeDecodeError on failure.
py::str DecodeUtf8(const std::string& bytes) {
  PyObject* text = PyUnicode_DecodeUTF8(bytes.data(),
                                        static_cast<Py_ssize_t>(bytes.size()), "strict");
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

}  // namespace

void RaiseWithText(PyObject* type, std::string_view message) {
  py::str value = py::reinterpret_steal<py::str>(PyUnicode_DecodeUTF8(
      message.data(), static_cast<Py_ssize_t>(message.size()), "backslashreplace"));
  if (!value) throw py::error_already_set();
  py::set_error(type, value);
  throw py::error_already_set();
}

DeviceId ParseDevice(std::string_view text) {
  if (text == "cpu") return DeviceId::kCpu;
  if (text == "igpu") return DeviceId::kIgpu;
  if (text == "dgpu") return DeviceId::kDgpu;
  RaiseUnknownName("device must be 'cpu', 'igpu', or 'dgpu', got: '", text);
}

TaskKind ParseTaskKind(std::string_view text) {
  if (text == "text_generation") return TaskKind::kTextGeneration;
  if (text == "embedding") return TaskKind::kEmbedding;
  if (text == "image_generation") return TaskKind::kImageGeneration;
  RaiseUnknownName(
      "kind must be 'text_generation', 'embedding', or 'image_generation', got: '",
      text);
}

py::dict ResultToDict(const TaskResult& result) {
  py::dict out;
  out["id"] = py::int_(result.id);
  out["status"] = py::str(result.status == TaskStatus::kOk ? "ok" : "failed");
  out["text_output"] = DecodeUtf8(result.text_output);
  out["numeric_output"] = CopyToNumpy(result.numeric_output);
  out["error_message"] = DecodeUtf8(result.error_message);
  out["latency_ms"] = py::float_(result.latency_ms);
  out["first_token_latency_ms"] = py::float_(result.first_token_latency_ms);
  out["tokens_generated"] = py::int_(result.tokens_generated);
  out["image_width"] = py::int_(result.image_width);
  out["image_height"] = py::int_(result.image_height);
  return out;
}

py::dict TelemetryToDict(const DeviceTelemetry& record) {
  py::dict out;
  out["device"] = py::str(std::string(DeviceName(record.device)));
  out["registered"] = py::bool_(record.registered);
  out["degraded"] = py::bool_(record.degraded);
  out["utilization_pct"] = py::float_(record.utilization_pct);
  out["queue_depth"] = py::int_(record.queue_depth);
  out["historical_latency_ms"] = py::float_(record.historical_latency_ms);
  out["completed_count"] = py::int_(record.completed_count);
  out["failed_count"] = py::int_(record.failed_count);
  return out;
}

}  // namespace idlewick::python
