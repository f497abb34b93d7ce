# Shared by scripts/test and scripts/demo: install the Debian packages the
# project needs (only when one is missing) and build into $BUILD_DIR.
set -euo pipefail

ROOT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT_DIR/build}
JOBS=${JOBS:-$(nproc)}

kova_install_packages() {
	local missing=()
	local pkg
	while read -r pkg; do
		[[ -z "$pkg" || "$pkg" == \#* ]] && continue
		if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
			missing+=("$pkg")
		fi
	done <"$ROOT_DIR/scripts/packages.txt"
	if ((${#missing[@]})); then
		echo "[setup] installing: ${missing[*]}"
		local sudo=()
		[[ $(id -u) -ne 0 ]] && sudo=(sudo)
		"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq </dev/null
		"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null >/dev/null
	fi
}

kova_build() {
	cmake -S "$ROOT_DIR" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
	cmake --build "$BUILD_DIR" -j "$JOBS"
}
