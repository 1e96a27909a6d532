#include "python/interpreter_exit.h"

#include <unordered_set>
#include <vector>

#include "python/py_scheduler.h"

namespace py = pybind11;

namespace idlewick::python {
namespace {

// Guarded by the interpreter lock. Never destroyed: instances that outlive
// the interpreter must not find it gone.
std::unordered_set<PyScheduler*>& LiveSchedulers() {
  static auto* live = new std::unordered_set<PyScheduler*>();
  return *live;
}

void StopAllSchedulers() {
  // Hold each instance's Python object, so that no other thread can destroy
  // it while its Stop has the lock released.
  std::vector<py::object> instances;
  for (PyScheduler* scheduler : LiveSchedulers()) {
    instances.push_back(py::cast(scheduler, py::return_value_policy::reference));
  }
  for (py::object& instance : instances) instance.cast<PyScheduler&>().Stop();
}

}  // namespace

void InstallExitHook() {
  static bool installed = false;  // guarded by the interpreter lock
  if (installed) return;
  py::module_::import("atexit").attr("register")(py::cpp_function(&StopAllSchedulers));
  installed = true;
}

void RememberAtExit(PyScheduler* scheduler) { LiveSchedulers().insert(scheduler); }

void ForgetAtExit(PyScheduler* scheduler) noexcept { LiveSchedulers().erase(scheduler); }

}  // namespace idlewick::python
