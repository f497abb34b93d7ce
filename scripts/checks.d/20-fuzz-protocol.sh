#!/usr/bin/env bash
# Fuzzes every decoder of the companion protocol for 60 seconds with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer. No single allocation may
# reach 1 MiB: inputs are at most 4 KiB, so nothing they announce may cost more.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/setup.sh"

FUZZ_BUILD_DIR="$BUILD_DIR/fuzz-protocol"
FUZZ_SECONDS=${FUZZ_SECONDS:-60}

echo "[fuzz-protocol] building with clang++"
cmake -S "$ROOT_DIR/tests/fuzz_protocol" -B "$FUZZ_BUILD_DIR" -DCMAKE_CXX_COMPILER=clang++ \
	-DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$FUZZ_BUILD_DIR" -j "$JOBS" >/dev/null

corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
echo "[fuzz-protocol] fuzzing for ${FUZZ_SECONDS} s"
(cd "$FUZZ_BUILD_DIR" && ./protocol_fuzzer -max_total_time="$FUZZ_SECONDS" -max_len=4096 -malloc_limit_mb=1 \
	-rss_limit_mb=2048 -print_final_stats=1 "$corpus" 2>fuzz.log) || {
	tail -n 60 "$FUZZ_BUILD_DIR/fuzz.log"
	echo "[fuzz-protocol] FAILED, see $FUZZ_BUILD_DIR/fuzz.log"
	exit 1
}
grep -E "^(stat::number_of_executed_units|stat::peak_rss_mb)" "$FUZZ_BUILD_DIR/fuzz.log" || true
echo "[fuzz-protocol] passed"
