#!/usr/bin/env bash
# Runs the worker-thread tests under ThreadSanitizer: the benchmark's thread copies a worker's
# counters and latency samples while the worker writes them.
set -euo pipefail

ROOT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
TSAN_BUILD_DIR="$ROOT_DIR/build/tsan-worker"

echo "[tsan-worker] building the worker tests with -fsanitize=thread"
cmake -S "$ROOT_DIR" -B "$TSAN_BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DCMAKE_C_FLAGS=-fsanitize=thread -DCMAKE_CXX_FLAGS=-fsanitize=thread \
	-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build "$TSAN_BUILD_DIR" -j "${JOBS:-2}" --target worker_tests >/dev/null

# The sanitizer's dlopen does not see the program's run path: the stand-in libraries are named
# explicitly. Address randomisation is turned off for the run, which some kernels need for
# ThreadSanitizer's memory layout.
echo "[tsan-worker] running"
(cd "$TSAN_BUILD_DIR" && LD_LIBRARY_PATH="$TSAN_BUILD_DIR/lib" TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	setarch "$(uname -m)" -R ./bin/worker_tests --gtest_brief=1) || {
	echo "[tsan-worker] FAILED"
	exit 1
}
echo "[tsan-worker] passed"
