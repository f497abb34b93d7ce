#!/usr/bin/env bash
# Builds the project with AddressSanitizer (leaks included) and
# UndefinedBehaviorSanitizer and runs every test under them. Adjusted:
# - the local-offload library tests leave out their allocation-counting test,
#   whose counter replaces malloc (tests/sdk_local);
# - the test that loads every function table runs without leak detection: the
#   DPDK libraries that the DPDK bridge links leave their constructors'
#   allocations behind when the bridge is unloaded.
# What a worker leaves to a stalled device stays reachable, so the stalled-device
# tests run with leak detection like the rest.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib/sanitize.sh"

dir="$BUILD_DIR/sanitize-address"
echo "[sanitize-address] building with -fsanitize=address,undefined"
kova_sanitizer_build "$dir" address,undefined
reports=$(kova_sanitizer_reports "$dir")
# The end-to-end tests preload a library into kova_bench ahead of the sanitizer's runtime.
export ASAN_OPTIONS="log_path=$reports/asan:verify_asan_link_order=0"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1"

echo "[sanitize-address] running the tests"
without_leaks='^dl_function_tables\.every_table_resolves_its_list_in_order_from_its_library$'
status=0
kova_sanitizer_ctest "$dir" -E "$without_leaks" || status=1
ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" kova_sanitizer_ctest "$dir" -R "$without_leaks" || status=1
kova_sanitizer_no_reports "$reports" || status=1
if ((status)); then
	echo "[sanitize-address] FAILED"
	exit 1
fi
echo "[sanitize-address] passed"
