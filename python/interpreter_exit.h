// Stops every running Scheduler when the interpreter begins to exit.
//
// Why: once the interpreter is finalizing, a foreign thread that asks for the
// interpreter lock is ended on the spot by the interpreter, which inside a C++
// worker means std::terminate. A worker dropping the last share of a numpy
// payload asks for the lock. The payload owner refuses to ask once
// finalization has begun, but a worker may already be waiting for the lock
// when it begins. Joining every worker from an atexit callback, which runs
// before finalization and while the lock can still be handed over, leaves no
// worker alive to be caught.
//
// Threads: every function here is called with the interpreter lock held,
// which guards the set of live instances.
#ifndef IDLEWICK_PYTHON_INTERPRETER_EXIT_H_
#define IDLEWICK_PYTHON_INTERPRETER_EXIT_H_

#include <pybind11/pybind11.h>

namespace idlewick::python {

class PyScheduler;

// Registers the atexit callback; once per process.
void InstallExitHook();

// Adds a live instance to, or removes it from, the set the callback stops.
void RememberAtExit(PyScheduler* scheduler);
void ForgetAtExit(PyScheduler* scheduler) noexcept;

}  // namespace idlewick::python

#endif  // IDLEWICK_PYTHON_INTERPRETER_EXIT_H_
