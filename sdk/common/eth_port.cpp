// Interface records, software steering and checksums of the Ethernet stand-in.
#include <kova_internal/eth_port.hpp>

#include <kova/error.h>
#include <kova/test_control.h>

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <linux/if_packet.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace kova::sdk::eth {

namespace {

struct totals {
	kova_test_eth_counters sum{};
};

} // namespace

struct iface {
	std::string name;
	std::mutex mutex;
	std::atomic<const snapshot *> current{nullptr};
	std::vector<std::unique_ptr<snapshot>> snapshots; // the current one last; older ones may still be read
	std::shared_ptr<const rule_set> rules;
	std::array<uint64_t, 65536 / 64> live{};
	std::vector<queue_counters *> attached;
	totals retired;
};

namespace {

struct registry {
	std::mutex mutex;
	std::map<std::string, std::unique_ptr<iface>> interfaces;
};

// Never destroyed: rule sets in it were made by the flow library, which may be unloaded first.
registry &the_registry()
{
	static registry *instance = new registry;
	return *instance;
}

// Caller holds port->mutex.
void publish(iface *port)
{
	auto next = std::make_unique<snapshot>();
	next->rules = port->rules;
	next->live = port->live;
	for (uint32_t word = 0; word < next->live.size(); ++word) {
		if (next->live[word] != 0) {
			next->lowest_live = word * 64 + static_cast<uint32_t>(__builtin_ctzll(next->live[word]));
			break;
		}
	}
	port->current.store(next.get(), std::memory_order_release);
	port->snapshots.push_back(std::move(next));
}

uint64_t kernel_drops(queue_counters *counters) noexcept
{
	if (counters->rx_socket >= 0) {
		tpacket_stats_v3 stats{};
		socklen_t len = sizeof(stats);
		if (::getsockopt(counters->rx_socket, SOL_PACKET, PACKET_STATISTICS, &stats, &len) == 0)
			counters->rx_dropped_no_task.fetch_add(stats.tp_drops, std::memory_order_relaxed);
	}
	return counters->rx_dropped_no_task.load(std::memory_order_relaxed);
}

void add_queue(kova_test_eth_counters &sum, queue_counters *counters) noexcept
{
	sum.rx_frames += counters->rx_frames.get();
	sum.rx_bytes += counters->rx_bytes.get();
	sum.rx_dropped_no_task += kernel_drops(counters);
	sum.rx_dropped_too_large += counters->rx_dropped_too_large.get();
	sum.rx_dropped_no_match += counters->rx_dropped_no_match.get();
	sum.rx_dropped_unknown_queue += counters->rx_dropped_unknown_queue.get();
	sum.rx_dropped_by_rule += counters->rx_dropped_by_rule.get();
	sum.tx_frames += counters->tx_frames.get();
	sum.tx_bytes += counters->tx_bytes.get();
	sum.tx_failed += counters->tx_failed.get();
	sum.chksum_computed += counters->chksum_computed.get();
	sum.chksum_skipped += counters->chksum_skipped.get();
}

// Byte positions and sizes of the match fields the steering reads.
struct field {
	uint16_t offset;
	uint16_t size;
};

constexpr field match_fields[] = {
	{offsetof(kova_flow_match, parser_outer_l3_type), 4}, {offsetof(kova_flow_match, outer_eth_dst), 6},
	{offsetof(kova_flow_match, outer_eth_src), 6},        {offsetof(kova_flow_match, outer_eth_type), 2},
	{offsetof(kova_flow_match, outer_l3_type), 4},        {offsetof(kova_flow_match, outer_ip4_src), 4},
	{offsetof(kova_flow_match, outer_ip4_dst), 4},        {offsetof(kova_flow_match, outer_ip4_next_proto), 1},
	{offsetof(kova_flow_match, outer_l4_src_port), 2},    {offsetof(kova_flow_match, outer_l4_dst_port), 2},
};

constexpr std::size_t view_size = offsetof(kova_flow_match, outer_l4_dst_port) + 2;

// The packet's fields at their match positions.
struct packet_view {
	uint8_t bytes[view_size];
	bool ip4;
	bool has_ports;
};

void parse(const uint8_t *frame, uint32_t len, packet_view &view) noexcept
{
	std::memset(&view, 0, sizeof(view));
	if (len < 14)
		return;
	std::memcpy(view.bytes + offsetof(kova_flow_match, outer_eth_dst), frame, 6);
	std::memcpy(view.bytes + offsetof(kova_flow_match, outer_eth_src), frame + 6, 6);
	std::memcpy(view.bytes + offsetof(kova_flow_match, outer_eth_type), frame + 12, 2);
	// As the device's parser: the EtherType makes the layer-3 type, and the fixed fields of an IPv4
	// header are read where they lie; the ports only follow a well-formed header.
	if (frame[12] != 0x08 || frame[13] != 0x00 || len < 34)
		return;
	uint32_t const ihl = (frame[14] & 0x0FU) * 4U;
	bool const well_formed = (frame[14] >> 4) == 4 && ihl >= 20 && len >= 14 + ihl;
	view.ip4 = true;
	uint32_t const ip4 = KOVA_FLOW_L3_TYPE_IP4;
	std::memcpy(view.bytes + offsetof(kova_flow_match, parser_outer_l3_type), &ip4, 4);
	std::memcpy(view.bytes + offsetof(kova_flow_match, outer_l3_type), &ip4, 4);
	std::memcpy(view.bytes + offsetof(kova_flow_match, outer_ip4_src), frame + 26, 4);
	std::memcpy(view.bytes + offsetof(kova_flow_match, outer_ip4_dst), frame + 30, 4);
	uint8_t const proto = frame[23];
	view.bytes[offsetof(kova_flow_match, outer_ip4_next_proto)] = proto;
	bool const fragment = ((frame[20] & 0x3FU) | frame[21]) != 0;
	if (well_formed && (proto == 6 || proto == 17) && !fragment && len >= 14 + ihl + 4) {
		view.has_ports = true;
		std::memcpy(view.bytes + offsetof(kova_flow_match, outer_l4_src_port), frame + 14 + ihl, 4);
	}
}

bool is_zero(const uint8_t *bytes, std::size_t size) noexcept
{
	for (std::size_t i = 0; i < size; ++i) {
		if (bytes[i] != 0)
			return false;
	}
	return true;
}

bool matches(const kova_flow_match &match, const packet_view &view) noexcept
{
	auto const *rule = reinterpret_cast<const uint8_t *>(&match);
	for (field const &f : match_fields) {
		if (!is_zero(rule + f.offset, f.size) && std::memcmp(rule + f.offset, view.bytes + f.offset, f.size) != 0)
			return false;
	}
	return true;
}

uint32_t flow_hash(const packet_view &view) noexcept
{
	uint32_t hash = 2166136261U; // FNV-1a over addresses, protocol and ports
	auto mix = [&hash](const uint8_t *bytes, std::size_t size) {
		for (std::size_t i = 0; i < size; ++i)
			hash = (hash ^ bytes[i]) * 16777619U;
	};
	if (view.ip4) {
		mix(view.bytes + offsetof(kova_flow_match, outer_ip4_src), 8);
		mix(view.bytes + offsetof(kova_flow_match, outer_ip4_next_proto), 1);
		if (view.has_ports)
			mix(view.bytes + offsetof(kova_flow_match, outer_l4_src_port), 4);
	} else {
		mix(view.bytes + offsetof(kova_flow_match, outer_eth_dst), 12);
	}
	return hash;
}

uint32_t sum16(const uint8_t *bytes, uint32_t len, uint32_t sum) noexcept
{
	for (; len > 1; bytes += 2, len -= 2)
		sum += static_cast<uint32_t>(bytes[0] << 8 | bytes[1]);
	if (len == 1)
		sum += static_cast<uint32_t>(bytes[0] << 8);
	return sum;
}

uint16_t fold(uint32_t sum) noexcept
{
	while ((sum >> 16) != 0)
		sum = (sum & 0xFFFFU) + (sum >> 16);
	return static_cast<uint16_t>(~sum & 0xFFFFU);
}

} // namespace

iface *iface_get(const char *name)
{
	registry &r = the_registry();
	std::lock_guard const lock{r.mutex};
	auto &slot = r.interfaces[name];
	if (!slot) {
		slot = std::make_unique<iface>();
		slot->name = name;
		std::lock_guard const port_lock{slot->mutex};
		publish(slot.get());
	}
	return slot.get();
}

const snapshot *iface_snapshot(const iface *port) noexcept
{
	return port->current.load(std::memory_order_acquire);
}

void iface_set_rules(iface *port, std::shared_ptr<const rule_set> rules)
{
	std::lock_guard const lock{port->mutex};
	port->rules = std::move(rules);
	publish(port);
}

kova_error iface_add_queue(iface *port, uint16_t queue)
{
	std::lock_guard const lock{port->mutex};
	uint64_t const bit = uint64_t{1} << (queue & 63);
	if ((port->live[queue >> 6] & bit) != 0)
		return KOVA_ERROR_ALREADY_EXIST;
	port->live[queue >> 6] |= bit;
	publish(port);
	return KOVA_SUCCESS;
}

void iface_remove_queue(iface *port, uint16_t queue)
{
	std::lock_guard const lock{port->mutex};
	port->live[queue >> 6] &= ~(uint64_t{1} << (queue & 63));
	publish(port);
}

void iface_attach_counters(iface *port, queue_counters *counters)
{
	std::lock_guard const lock{port->mutex};
	port->attached.push_back(counters);
}

void iface_detach_counters(iface *port, queue_counters *counters)
{
	std::lock_guard const lock{port->mutex};
	for (auto it = port->attached.begin(); it != port->attached.end(); ++it) {
		if (*it == counters) {
			add_queue(port->retired.sum, counters);
			port->attached.erase(it);
			break;
		}
	}
}

steering_result steer(const snapshot &current, const uint8_t *frame, uint32_t len) noexcept
{
	const rule_set *rules = current.rules.get();
	if (rules == nullptr || rules->root < 0)
		return {verdict::no_match, 0};
	packet_view view;
	parse(frame, len, view);
	int32_t pipe = rules->root;
	// Chains are followed a bounded number of times, so that a loop of pipes drops instead of hanging.
	for (int hops = 0; hops < 16; ++hops) {
		rule_pipe const &p = rules->pipes[static_cast<std::size_t>(pipe)];
		const forward *fwd = &p.miss;
		if (matches(p.match, view)) {
			for (rule_entry const &entry : p.entries) {
				if (matches(entry.match, view)) {
					fwd = entry.has_forward ? &entry.fwd : &p.fwd;
					break;
				}
			}
		}
		switch (fwd->type) {
		case KOVA_FLOW_FWD_DROP:
			return {verdict::dropped_by_rule, 0};
		case KOVA_FLOW_FWD_PIPE:
			pipe = fwd->pipe;
			continue;
		case KOVA_FLOW_FWD_RSS: {
			if (fwd->queues.empty())
				return {verdict::no_match, 0};
			uint16_t const queue = fwd->queues.size() == 1
						       ? fwd->queues[0]
						       : fwd->queues[flow_hash(view) % fwd->queues.size()];
			return {current.is_live(queue) ? verdict::deliver : verdict::unknown_queue, queue};
		}
		default:
			return {verdict::no_match, 0};
		}
	}
	return {verdict::no_match, 0};
}

uint32_t iface_index(const char *name) noexcept
{
	return name == nullptr || name[0] == 0 ? 0 : ::if_nametoindex(name);
}

uint32_t iface_mtu(const char *name) noexcept
{
	int const fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return 0;
	ifreq request{};
	std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
	int const result = ::ioctl(fd, SIOCGIFMTU, &request);
	::close(fd);
	return result == 0 && request.ifr_mtu > 0 ? static_cast<uint32_t>(request.ifr_mtu) : 0;
}

bool fill_checksums(uint8_t *frame, uint32_t len, bool l3, bool l4) noexcept
{
	if (len < 34 || frame[12] != 0x08 || frame[13] != 0x00 || (frame[14] >> 4) != 4)
		return false;
	uint8_t *ip = frame + 14;
	uint32_t const ihl = (ip[0] & 0x0FU) * 4U;
	uint32_t const total = static_cast<uint32_t>(ip[2] << 8 | ip[3]);
	if (ihl < 20 || total < ihl || total > len - 14)
		return false;
	if (l3) {
		ip[10] = 0;
		ip[11] = 0;
		uint16_t const sum = fold(sum16(ip, ihl, 0));
		ip[10] = static_cast<uint8_t>(sum >> 8);
		ip[11] = static_cast<uint8_t>(sum);
	}
	if (l4) {
		bool const fragment = ((ip[6] & 0x3FU) | ip[7]) != 0;
		uint8_t const proto = ip[9];
		uint32_t const segment = total - ihl;
		uint32_t const at = proto == 6 ? 16 : proto == 17 ? 6 : 0;
		if (fragment || at == 0 || segment < (proto == 6 ? 20U : 8U))
			return l3;
		uint8_t *l4_header = ip + ihl;
		l4_header[at] = 0;
		l4_header[at + 1] = 0;
		uint32_t sum = sum16(ip + 12, 8, 0) + proto + segment;
		uint16_t value = fold(sum16(l4_header, segment, sum));
		if (proto == 17 && value == 0)
			value = 0xFFFF;
		l4_header[at] = static_cast<uint8_t>(value >> 8);
		l4_header[at + 1] = static_cast<uint8_t>(value);
	}
	return true;
}

void reset_counters() noexcept
{
	registry &r = the_registry();
	std::lock_guard const lock{r.mutex};
	for (auto &[name, port] : r.interfaces) {
		std::lock_guard const port_lock{port->mutex};
		port->retired = {};
		for (queue_counters *counters : port->attached) {
			kernel_drops(counters);
			for (counter *c : {&counters->rx_frames, &counters->rx_bytes, &counters->rx_dropped_too_large,
					   &counters->rx_dropped_no_match, &counters->rx_dropped_unknown_queue,
					   &counters->rx_dropped_by_rule, &counters->tx_frames, &counters->tx_bytes,
					   &counters->tx_failed, &counters->chksum_computed, &counters->chksum_skipped})
				c->reset();
			counters->rx_dropped_no_task.store(0, std::memory_order_relaxed);
		}
	}
}

} // namespace kova::sdk::eth

KOVA_EXPORT kova_error kova_test_eth_get_counters(const char *iface_name, struct kova_test_eth_counters *counters)
{
	if (iface_name == nullptr || counters == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	auto &r = kova::sdk::eth::the_registry();
	std::lock_guard const lock{r.mutex};
	auto const found = r.interfaces.find(iface_name);
	if (found == r.interfaces.end())
		return KOVA_ERROR_NOT_FOUND;
	kova::sdk::eth::iface &port = *found->second;
	std::lock_guard const port_lock{port.mutex};
	kova_test_eth_counters sum = port.retired.sum;
	for (kova::sdk::eth::queue_counters *attached : port.attached)
		kova::sdk::eth::add_queue(sum, attached);
	*counters = sum;
	return KOVA_SUCCESS;
}
