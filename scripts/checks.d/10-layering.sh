#!/usr/bin/env bash
# Every #include "..." under src/ stays within its file's target and the targets
# that target builds on (src/subsystems.cmake). The build already fails on calls
# that cross the layers the wrong way; this also catches what a header alone
# brings in (types, inline functions, templates).
set -euo pipefail
ROOT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
SRC="$ROOT_DIR/src"

declare -A owner uses
while read -r kind name value; do
	case "$kind" in
	file) owner[$name]=$value ;;
	uses) uses[$name]=" $value " ;;
	esac
done < <(cmake -P "$ROOT_DIR/scripts/lib/layers.cmake" 2>&1)

failures=0
for file in "${!owner[@]}"; do
	from=${owner[$file]}
	dir=$(dirname "$file")
	while IFS= read -r included; do
		if [[ -n "${owner[$included]:-}" ]]; then
			target=$included
		elif [[ -n "${owner[$dir/$included]:-}" ]]; then
			target=$dir/$included
		else
			continue # not a file of src/
		fi
		to=${owner[$target]}
		if [[ "${uses[$from]}" != *" $to "* ]]; then
			echo "[layering] src/$file ($from) includes $target ($to), which $from does not build on"
			failures=$((failures + 1))
		fi
	done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$SRC/$file")
done

if ((failures)); then
	echo "[layering] FAILED: $failures include(s) against the layers of src/subsystems.cmake"
	exit 1
fi
echo "[layering] passed (${#owner[@]} files)"
