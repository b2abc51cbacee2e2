#!/usr/bin/env bash
# Builds and runs every test: the plain build, AddressSanitizer + UndefinedBehaviorSanitizer,
# ThreadSanitizer, and the 32-bit Windows cross-build; builds the programs in Release once.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh --windows
jobs=$(nproc)

run_suite() {  # build-dir sanitizer [ctest args...]
  local dir=$1 sanitize=$2
  shift 2
  echo "=== tests: ${sanitize:-plain} build ==="
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DVELUND_SANITIZE="$sanitize" >/dev/null
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@"
}

run_suite build-tests ""

# Users and packagers build Release, whose optimiser warns about more than a Debug build's does.
# Building the two programs once is enough; the payload comes from the plain build.
echo "=== Release build ==="
mkdir -p build-release
cp -a build-tests/payload build-release/
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j"$jobs" --target velund-setup velund-machine
# The boot checks (label boot) test the disks, not the program's memory or threads: once is enough.
# The random-machine cases (300 in the plain build) run fewer times under the slower sanitizers.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  VELUND_PROPERTY_CASES=60 run_suite build-asan address -LE boot
# The sampled fault sweep (docs/fault-sweep.md): whole jobs with one seam call failing, under the
# sanitizers; any broken invariant fails the run.
echo "=== fault sweep: sampled, ASan build ==="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  build-asan/benchmarks/velund-fault-sweep --work build-asan/fault-sweep --sample 60 --jobs "$jobs"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  VELUND_PROPERTY_CASES=30 run_suite build-tsan thread -LE boot

echo "=== Windows cross-build ==="
tools/build-windows.sh

echo "=== Windows smoke runs under Wine ==="
tools/wine-smoke.sh
