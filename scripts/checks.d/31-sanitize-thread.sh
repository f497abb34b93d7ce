#!/usr/bin/env bash
# Builds the tests of everything that runs threads with ThreadSanitizer and runs
# them: the asynchronous engine parts, statistics, the companion protocol and
# program, the remote worker activities, the worker threads, the pipeline trial
# and the benchmark, kova_bench itself end to end, and the emulated GPU with the GPU steps
# (its kernels run on threads). Address randomisation is
# off for the run, which ThreadSanitizer's memory layout needs on some kernels.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/sanitize.sh"

labels=(engine stats companion_api companion remote_worker worker run e2e sdk_gpu step_gpu)
dir="$BUILD_DIR/sanitize-thread"
echo "[sanitize-thread] building the tests labelled ${labels[*]} with -fsanitize=thread"
kova_sanitizer_build "$dir" thread "${labels[@]/%/_tests}"
reports=$(kova_sanitizer_reports "$dir")
export TSAN_OPTIONS="log_path=$reports/tsan halt_on_error=1 second_deadlock_stack=1"

echo "[sanitize-thread] running them"
label_regex="^($(IFS='|'; echo "${labels[*]}"))\$"
status=0
(cd "$dir" && setarch "$(uname -m)" -R ctest --output-on-failure -j "$JOBS" --timeout 600 -L "$label_regex") ||
	status=1
kova_sanitizer_no_reports "$reports" || status=1
if ((status)); then
	echo "[sanitize-thread] FAILED"
	exit 1
fi
echo "[sanitize-thread] passed"
