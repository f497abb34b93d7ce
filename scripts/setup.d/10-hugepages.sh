# Reserves 2 MiB hugepages for DPDK's environment (the DPDK context and its
# tests run DPDK with --in-memory, which takes its memory from them) when none
# are reserved. Needs root; without it the DPDK tests skip or check the failure.
kova_reserve_hugepages() {
	local pages=/sys/kernel/mm/hugepages/hugepages-2048kB/nr_hugepages
	[[ -w "$pages" ]] || return 0
	if [[ "$(cat "$pages")" -eq 0 ]]; then
		echo 256 >"$pages" 2>/dev/null || true
	fi
	echo "[setup] 2 MiB hugepages reserved: $(cat "$pages")"
}
kova_reserve_hugepages
