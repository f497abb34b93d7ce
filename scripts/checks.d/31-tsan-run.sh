#!/usr/bin/env bash
# Runs the pipeline-trial and benchmark tests under ThreadSanitizer: trial threads, worker threads
# whose counters the benchmark reads for its reports, and a companion link on loopback. Shares the
# sanitizer build of the worker check, so that the library is built once.
set -euo pipefail

ROOT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
TSAN_BUILD_DIR="$ROOT_DIR/build/tsan-worker"

echo "[tsan-run] building the trial and benchmark tests with -fsanitize=thread"
cmake -S "$ROOT_DIR" -B "$TSAN_BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DCMAKE_C_FLAGS=-fsanitize=thread -DCMAKE_CXX_FLAGS=-fsanitize=thread \
	-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null
cmake --build "$TSAN_BUILD_DIR" -j "${JOBS:-2}" --target run_tests >/dev/null

# As for the worker check: the stand-in libraries named explicitly, address randomisation off.
echo "[tsan-run] running"
(cd "$TSAN_BUILD_DIR" && LD_LIBRARY_PATH="$TSAN_BUILD_DIR/lib" TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	setarch "$(uname -m)" -R ./bin/run_tests --gtest_brief=1) || {
	echo "[tsan-run] FAILED"
	exit 1
}
echo "[tsan-run] passed"
