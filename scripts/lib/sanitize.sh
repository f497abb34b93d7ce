# Shared by the sanitizer checks: a build of the project with KOVA_SANITIZE
# (optimised lightly, as the sanitizers advise, with line tables only for the
# reports' stack traces; both build faster) and
# ctest runs whose sanitizer reports go to files, so that a report of a program
# a test starts (kova_bench, the companion) is not lost in output the test
# captures. Any report fails the check.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

# kova_sanitizer_build <build dir> <sanitizers> [target...]: every target when none is named.
kova_sanitizer_build() {
	local dir=$1 sanitizers=$2
	shift 2
	local targets=()
	(($#)) && targets=(--target "$@")
	cmake -S "$ROOT_DIR" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVA_SANITIZE="$sanitizers" \
		-DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
		-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
	cmake --build "$dir" -j "$JOBS" "${targets[@]}" >"$dir/build.log" 2>&1 || {
		tail -n 60 "$dir/build.log"
		echo "[sanitize] build FAILED, see $dir/build.log"
		return 1
	}
}

# kova_sanitizer_reports <build dir>: an empty directory for the reports; prints its path.
kova_sanitizer_reports() {
	local reports="$1/sanitizer-reports"
	rm -rf "$reports"
	mkdir -p "$reports"
	echo "$reports"
}

# kova_sanitizer_ctest <build dir> [ctest arguments...]
kova_sanitizer_ctest() {
	local dir=$1
	shift
	(cd "$dir" && ctest --output-on-failure -j "$JOBS" --timeout 600 "$@")
}

# kova_sanitizer_no_reports <reports dir>: fails, printing them, when any report was written.
kova_sanitizer_no_reports() {
	local report status=0
	for report in "$1"/*; do
		[[ -e "$report" ]] || continue
		echo "[sanitize] report $report:"
		cat "$report"
		status=1
	done
	return "$status"
}
