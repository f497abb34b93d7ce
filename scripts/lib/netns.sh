#!/usr/bin/env bash
# A "host" and a "device" network namespace on this machine, for running kova_bench against a
# kova_bench_companion that it starts over ssh, as on a host with a DPU:
#
#   host namespace                          device namespace
#   kwctl   198.18.0.1/24  <-- veth -->     kwctl   198.18.0.2/24   control link, sshd on port 22
#   kovap0  (no address)   <-- veth -->     kovap0  (no address)    Ethernet wire of device 03:00.0
#   kovap1  198.18.1.1/24  <-- veth -->     kovap1  198.18.1.2/24   RDMA wire of device 03:00.1
#
# The addresses are from 198.18.0.0/15 (reserved for benchmarking, RFC 2544) and exist inside the two
# namespaces only; IPv6 is off in both (neighbour discovery would put frames of its own on the
# wires). The interfaces kovap0 and kovap1 are those the stand-in devices name. sshd runs inside the
# device namespace, with the host name "kova-device" (a UTS namespace of its own) and host and client
# keys generated under the state directory; the ssh client is
# pointed at them through a configuration bind-mounted over the system one inside a private mount
# namespace of the command run (the user's own ssh configuration is never read or changed).
#
# Use:
#   netns.sh up DIR        create both namespaces and sshd; DIR (new or empty) keeps the state,
#                          DIR/env the names (shell assignments)
#   netns.sh run DIR CMD   run CMD in the host namespace with the private ssh client configuration
#   netns.sh down DIR      stop every process left in the namespaces, remove them and DIR
# or source it and call kova_netns_up / kova_netns_run / kova_netns_down with the same arguments.
# Needs root. A failed "up" removes what it made.

KOVA_NETNS_HOST_ADDR=198.18.0.1
KOVA_NETNS_DEVICE_ADDR=198.18.0.2

kova_netns_fail() {
	echo "[netns] $*" >&2
	return 1
}

kova_netns_quiet() {
	"$@" >/dev/null 2>&1
}

kova_netns_check() {
	if [[ $(id -u) -ne 0 ]]; then
		kova_netns_fail "creating network namespaces needs root: run this as root (or with sudo)"
		return 1
	fi
	local tool
	for tool in /usr/sbin/ip /usr/sbin/sshd /usr/bin/ssh /usr/bin/ssh-keygen /usr/bin/unshare; do
		[[ -x "$tool" ]] || { kova_netns_fail "$tool is not installed"; return 1; }
	done
}

# Both namespaces' processes: the shell-visible pids, one per line.
kova_netns_pids() {
	local ns
	for ns in "$@"; do
		[[ -e "/run/netns/$ns" ]] && ip netns pids "$ns" 2>/dev/null
	done
	return 0
}

kova_netns_up() {
	local dir=${1:?state directory}
	kova_netns_check || return 1
	mkdir -p "$dir" && dir=$(cd "$dir" && pwd) || return 1
	[[ -e "$dir/env" ]] && { kova_netns_fail "$dir is in use"; return 1; }
	local id
	id=$(printf '%x%04x' $$ $((RANDOM)))
	local host=kwh$id device=kwd$id
	# Written first, so that "down" finds whatever was made even when a later step fails.
	printf 'KOVA_NETNS_HOST=%s\nKOVA_NETNS_DEVICE=%s\n' "$host" "$device" >"$dir/env"
	if ! kova_netns_make "$dir" "$host" "$device"; then
		kova_netns_down "$dir"
		return 1
	fi
	cat >>"$dir/env" <<-EOF
		KOVA_NETNS_HOST_ADDR=$KOVA_NETNS_HOST_ADDR
		KOVA_NETNS_DEVICE_ADDR=$KOVA_NETNS_DEVICE_ADDR
		KOVA_NETNS_SSH_USER=$(id -un)
		KOVA_NETNS_SSHD_PID=$(cat "$dir/sshd.pid")
	EOF
	echo "[netns] host namespace $host, device namespace $device, ssh $(id -un)@$KOVA_NETNS_DEVICE_ADDR"
}

kova_netns_make() {
	local dir=$1 host=$2 device=$3 ns
	local no_ipv6='[ ! -e /proc/sys/net/ipv6 ] || { echo 1 >/proc/sys/net/ipv6/conf/all/disable_ipv6 &&
		echo 1 >/proc/sys/net/ipv6/conf/default/disable_ipv6; }'
	for ns in "$host" "$device"; do
		ip netns add "$ns" || { kova_netns_fail "cannot create network namespace $ns"; return 1; }
		ip netns exec "$ns" sh -c "$no_ipv6" || { kova_netns_fail "cannot turn IPv6 off in $ns"; return 1; }
		ip -n "$ns" link set lo up || return 1
	done
	# Each pair is made inside the host namespace with its peer in the device namespace, then the
	# peer takes the same name there.
	local link
	for link in kwctl kovap0 kovap1; do
		if ! ip -n "$host" link add "$link" type veth peer name kwpeer netns "$device" ||
			! ip -n "$device" link set kwpeer name "$link"; then
			kova_netns_fail "cannot create the veth pair $link"
			return 1
		fi
	done
	ip -n "$host" addr add "$KOVA_NETNS_HOST_ADDR/24" dev kwctl &&
		ip -n "$device" addr add "$KOVA_NETNS_DEVICE_ADDR/24" dev kwctl &&
		ip -n "$host" addr add 198.18.1.1/24 dev kovap1 &&
		ip -n "$device" addr add 198.18.1.2/24 dev kovap1 || { kova_netns_fail "cannot assign the addresses"; return 1; }
	for ns in "$host" "$device"; do
		for link in kwctl kovap0 kovap1; do
			ip -n "$ns" link set "$link" up || return 1
		done
	done
	kova_netns_sshd "$dir" "$host" "$device"
}

kova_netns_sshd() {
	local dir=$1 host=$2 device=$3 name
	for name in host_key client_key; do
		ssh-keygen -q -t ed25519 -N '' -C kova-netns -f "$dir/$name" ||
			{ kova_netns_fail "ssh-keygen failed"; return 1; }
	done
	cp "$dir/client_key.pub" "$dir/authorized_keys"
	cat >"$dir/sshd_config" <<-EOF
		Port 22
		ListenAddress $KOVA_NETNS_DEVICE_ADDR
		HostKey $dir/host_key
		AuthorizedKeysFile $dir/authorized_keys
		AllowUsers $(id -un)
		StrictModes no
		PubkeyAuthentication yes
		PasswordAuthentication no
		KbdInteractiveAuthentication no
		PermitRootLogin prohibit-password
		UsePAM no
		UseDNS no
		PrintMotd no
		PidFile none
		LogLevel ERROR
	EOF
	echo "$KOVA_NETNS_DEVICE_ADDR $(cat "$dir/host_key.pub")" >"$dir/known_hosts"
	cat >"$dir/ssh_config" <<-EOF
		Host *
		  IdentityFile $dir/client_key
		  IdentitiesOnly yes
		  UserKnownHostsFile $dir/known_hosts
		  GlobalKnownHostsFile /dev/null
		  StrictHostKeyChecking yes
		  BatchMode yes
		  ConnectTimeout 10
		  LogLevel ERROR
	EOF
	: >"$dir/empty_ssh_config"
	chmod 600 "$dir/empty_ssh_config"
	# sshd insists on its privilege separation directory.
	mkdir -p /run/sshd
	# In a UTS namespace of its own, so that the device side names itself "kova-device".
	ip netns exec "$device" /usr/bin/unshare --uts /bin/sh -c \
		'echo kova-device >/proc/sys/kernel/hostname && exec /usr/sbin/sshd -D -e -f "$1"' sshd "$dir/sshd_config" \
		</dev/null >>"$dir/sshd.log" 2>&1 &
	echo $! >"$dir/sshd.pid"
	local tries
	for ((tries = 0; tries < 100; ++tries)); do
		if ip netns exec "$host" bash -c "exec 3<>/dev/tcp/$KOVA_NETNS_DEVICE_ADDR/22" 2>/dev/null; then
			return 0
		fi
		kova_netns_quiet kill -0 "$(cat "$dir/sshd.pid")" || break
		sleep 0.1
	done
	kova_netns_fail "sshd did not start in $device: $(cat "$dir/sshd.log")"
	return 1
}

kova_netns_run() {
	local dir=${1:?state directory}
	shift
	[[ -r "$dir/env" ]] || { kova_netns_fail "no namespaces in $dir (run \"up\" first)"; return 1; }
	local KOVA_NETNS_HOST
	KOVA_NETNS_HOST=$(sed -n 's/^KOVA_NETNS_HOST=//p' "$dir/env")
	# The mounts are seen by the command only.
	ip netns exec "$KOVA_NETNS_HOST" /usr/bin/unshare --mount --propagation private /bin/bash -c '
		mount --bind "$1/ssh_config" /etc/ssh/ssh_config || exit 125
		user_config=$(getent passwd "$(id -u)" | cut -d: -f6)/.ssh/config
		if [[ -e "$user_config" ]]; then mount --bind "$1/empty_ssh_config" "$user_config" || exit 125; fi
		shift
		exec "$@"' kova_netns_run "$dir" "$@"
}

kova_netns_down() {
	local dir=${1:?state directory}
	if [[ ! -r "$dir/env" ]]; then
		rmdir "$dir" 2>/dev/null
		return 0
	fi
	local host device pid tries
	host=$(sed -n 's/^KOVA_NETNS_HOST=//p' "$dir/env")
	device=$(sed -n 's/^KOVA_NETNS_DEVICE=//p' "$dir/env")
	# Every process in the two namespaces was started through them: sshd, and whatever a run left.
	for pid in $(kova_netns_pids "$host" "$device"); do
		kill -TERM "$pid" 2>/dev/null
	done
	for ((tries = 0; tries < 50; ++tries)); do
		[[ -z "$(kova_netns_pids "$host" "$device")" ]] && break
		sleep 0.1
	done
	for pid in $(kova_netns_pids "$host" "$device"); do
		kill -KILL "$pid" 2>/dev/null
	done
	[[ -f "$dir/sshd.pid" ]] && wait "$(cat "$dir/sshd.pid")" 2>/dev/null
	local ns
	for ns in "$host" "$device"; do
		[[ -e "/run/netns/$ns" ]] && ip netns del "$ns"
	done
	rm -rf "$dir"
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
	set -uo pipefail
	command=${1:-}
	shift || true
	case "$command" in
	up) kova_netns_up "$@" ;;
	run) kova_netns_run "$@" ;;
	down) kova_netns_down "$@" ;;
	*)
		echo "usage: $0 up|run|down DIR [COMMAND...]" >&2
		exit 2
		;;
	esac
fi
