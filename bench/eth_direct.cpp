// The direct loop that bench/eth_rx compares kova_bench's Ethernet receive step with: the same packet
// sockets and rings as the Ethernet stand-in (a TPACKET_V2 send ring bypassing the queueing
// discipline, a TPACKET_V3 receive ring), with nothing around them.
//
//   eth_direct send <interface> <frame size>   sends frames until killed
//   eth_direct recv <interface> <seconds>      prints "frames <n> pps <rate>"
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int open_ring(const char *iface, int version, int ring, const void *request, std::size_t request_size,
	      std::size_t length, uint16_t protocol, uint8_t **memory)
{
	int const fd = ::socket(AF_PACKET, SOCK_RAW, 0);
	int one = 1;
	if (fd < 0 || ::setsockopt(fd, SOL_PACKET, PACKET_VERSION, &version, sizeof(version)) != 0 ||
	    (ring == PACKET_TX_RING && ::setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof(one)) != 0) ||
	    ::setsockopt(fd, SOL_PACKET, ring, request, static_cast<socklen_t>(request_size)) != 0) {
		std::perror("packet socket");
		std::exit(1);
	}
	void *mapped = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	sockaddr_ll address{};
	address.sll_family = AF_PACKET;
	address.sll_protocol = protocol;
	address.sll_ifindex = static_cast<int>(::if_nametoindex(iface));
	if (mapped == MAP_FAILED || ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
		std::perror("ring");
		std::exit(1);
	}
	*memory = static_cast<uint8_t *>(mapped);
	return fd;
}

int send_frames(const char *iface, uint32_t frame_len)
{
	constexpr uint32_t frame_size = 2048;
	constexpr uint32_t frames = 256;
	tpacket_req request{};
	request.tp_block_size = 4096;
	request.tp_block_nr = frames / 2;
	request.tp_frame_size = frame_size;
	request.tp_frame_nr = frames;
	uint8_t *ring = nullptr;
	int const fd = open_ring(iface, TPACKET_V2, PACKET_TX_RING, &request, sizeof(request),
				 std::size_t{frame_size} * frames, 0, &ring);
	uint32_t const data = TPACKET_ALIGN(sizeof(tpacket2_hdr));
	for (uint32_t i = 0; i < frames; ++i) {
		uint8_t *frame = ring + std::size_t{i} * frame_size + data;
		std::memset(frame, 0x11, frame_len);
		std::memcpy(frame, "FFFFFF012233\x08\x00", 14);
	}
	for (uint32_t slot = 0;; slot = (slot + 1) % frames) {
		auto *header = reinterpret_cast<tpacket2_hdr *>(ring + std::size_t{slot} * frame_size);
		if (__atomic_load_n(&header->tp_status, __ATOMIC_ACQUIRE) == TP_STATUS_AVAILABLE) {
			header->tp_len = frame_len;
			__atomic_store_n(&header->tp_status, TP_STATUS_SEND_REQUEST, __ATOMIC_RELEASE);
		}
		if (slot == frames - 1)
			::send(fd, nullptr, 0, MSG_DONTWAIT);
	}
}

int receive_frames(const char *iface, int seconds)
{
	constexpr uint32_t block_size = 1U << 18;
	constexpr uint32_t blocks = 16;
	tpacket_req3 request{};
	request.tp_block_size = block_size;
	request.tp_block_nr = blocks;
	request.tp_frame_size = 2048;
	request.tp_frame_nr = block_size / 2048 * blocks;
	request.tp_retire_blk_tov = 1;
	uint8_t *ring = nullptr;
	open_ring(iface, TPACKET_V3, PACKET_RX_RING, &request, sizeof(request), std::size_t{block_size} * blocks,
		  htons(ETH_P_ALL), &ring);
	uint64_t frames = 0;
	auto const start = std::chrono::steady_clock::now();
	auto const end = start + std::chrono::seconds{seconds};
	for (uint32_t block = 0; std::chrono::steady_clock::now() < end;) {
		auto *desc = reinterpret_cast<tpacket_block_desc *>(ring + std::size_t{block} * block_size);
		if ((__atomic_load_n(&desc->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) == 0)
			continue;
		// Touch each frame as a receiver would.
		auto *frame = reinterpret_cast<uint8_t *>(desc) + desc->hdr.bh1.offset_to_first_pkt;
		for (uint32_t i = 0; i < desc->hdr.bh1.num_pkts; ++i) {
			auto *header = reinterpret_cast<tpacket3_hdr *>(frame);
			frames += frame[header->tp_mac] == 'F' ? 1 : 0;
			frame += header->tp_next_offset;
		}
		__atomic_store_n(&desc->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
		block = (block + 1) % blocks;
	}
	double const elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	std::printf("frames %llu pps %.0f\n", static_cast<unsigned long long>(frames), frames / elapsed);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	if (argc != 4) {
		std::fprintf(stderr, "usage: eth_direct send <interface> <frame size> | recv <interface> <seconds>\n");
		return 2;
	}
	std::string const mode = argv[1];
	if (mode == "send")
		return send_frames(argv[2], static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)));
	return receive_frames(argv[2], std::atoi(argv[3]));
}
