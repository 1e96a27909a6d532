#!/usr/bin/env bash
# Builds and runs the C++ tests in one configuration: release (default),
# asan (AddressSanitizer + UndefinedBehaviorSanitizer) or tsan.
set -euo pipefail
config=${1:-release}
jobs=${JOBS:-2}
case "$config" in
  release) sanitize="" ;;
  asan) sanitize="address" ;;
  tsan) sanitize="thread" ;;
  *) echo "unknown configuration: $config" >&2; exit 2 ;;
esac
dir="build/$config"
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DIDLEWICK_SANITIZE="$sanitize" -DIDLEWICK_BUILD_TESTS=ON >/dev/null
cmake --build "$dir" -j "$jobs"
# Any sanitizer report fails the run: recovery is compiled out, and these make
# the runtime exit non-zero and keep leak checks on.
export ASAN_OPTIONS="abort_on_error=0:halt_on_error=1:detect_leaks=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300
