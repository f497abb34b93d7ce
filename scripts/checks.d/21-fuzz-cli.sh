#!/usr/bin/env bash
# Fuzzes the kova_bench command line for 60 seconds with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer: argument lists through the
# option parser, the builder with its sweep expansion, validation and printing.
# Crashes, sanitizer reports, leaks and timeouts are findings. A sweep may ask
# for up to half the machine's memory of permutations (a larger set is
# refused), so running out of memory is not: libFuzzer runs in fork mode, which
# carries on after it, and an allocation of 16 MiB or more ends that one input
# as out of memory rather than taking the machine's memory (the fuzzer gives
# each command line one sweep at most; see tests/fuzz_cli).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/setup.sh"

FUZZ_BUILD_DIR="$BUILD_DIR/fuzz-cli"
FUZZ_SECONDS=${FUZZ_SECONDS:-60}

echo "[fuzz-cli] building with clang"
CC=clang CXX=clang++ cmake -S "$ROOT_DIR/tests/fuzz_cli" -B "$FUZZ_BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	>/dev/null
cmake --build "$FUZZ_BUILD_DIR" -j "$JOBS" --target cli_fuzzer >/dev/null

corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
artifacts="$FUZZ_BUILD_DIR/artifacts"
rm -rf "$artifacts"
mkdir -p "$artifacts"
echo "[fuzz-cli] fuzzing for ${FUZZ_SECONDS} s"
status=0
(cd "$FUZZ_BUILD_DIR" && ./cli_fuzzer -fork=1 -ignore_ooms=1 -ignore_timeouts=0 -timeout=60 -malloc_limit_mb=16 \
	-rss_limit_mb=2048 -max_total_time="$FUZZ_SECONDS" -max_len=1024 -close_fd_mask=3 \
	-artifact_prefix="$artifacts/" "$corpus" >fuzz.log 2>&1) || status=$?
# The fork mode's status is its last job's, which may be an out-of-memory stop (71).
findings=$(find "$artifacts" -type f ! -name 'oom-*' ! -name 'slow-unit-*')
if ((status != 0 && status != 71)) || [[ -n "$findings" ]]; then
	tail -n 60 "$FUZZ_BUILD_DIR/fuzz.log"
	echo "[fuzz-cli] FAILED, see $FUZZ_BUILD_DIR/fuzz.log and $artifacts"
	exit 1
fi
grep -E "^#[0-9]+: cov:" "$FUZZ_BUILD_DIR/fuzz.log" | tail -n 1 || true
echo "[fuzz-cli] passed"
