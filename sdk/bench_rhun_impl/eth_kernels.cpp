// The Ethernet kernels. Each GPU block owns one queue (or one of each direction); an emulator thread
// takes its blocks in turn. Receive: a call takes up to max_rx_packets frames or waits timeout_ns,
// and the frames count for the block's threads in rotation. Send: every GPU thread sends its own
// frame of the packet buffer (element = thread index) again and again; a frame counts once the queue
// took it.
#include "kernel_params.hpp"

#include <kova_internal/rhun_runtime.hpp>

#include <kova/error.h>

#include <time.h>

#include <vector>

namespace kova::sdk::kernels {
namespace {

void pause_briefly() noexcept
{
	timespec const delay{0, 20000};
	::nanosleep(&delay, nullptr);
}

// Where the next received frame of a block is counted.
struct rx_block_state {
	uint32_t next_thread = 0;
};

// One receive call on block b's queue; true when it received anything.
bool receive_block(kova_gpu_eth_rxq *rxq, uint32_t b, uint32_t threads_per_block, uint32_t max_rx_packets,
		   uint64_t timeout_ns, uint64_t *counters, const uint8_t *stop, rx_block_state &state) noexcept
{
	uint64_t bytes = 0;
	uint32_t const got = rxq->receive(rxq, max_rx_packets, timeout_ns, &bytes, stop);
	if (got == 0)
		return false;
	// The batch's bytes are spread over its frames: the first frames take the remainder.
	uint64_t const share = bytes / got;
	uint64_t remainder = bytes % got;
	for (uint32_t i = 0; i < got; ++i) {
		uint32_t const t = b * threads_per_block + state.next_thread;
		count(counters, t, share + (remainder != 0 ? 1 : 0));
		if (remainder != 0)
			--remainder;
		state.next_thread = state.next_thread + 1 == threads_per_block ? 0 : state.next_thread + 1;
	}
	return true;
}

// Offers each GPU thread's frame of block b once; returns how many the queue took.
uint32_t send_block(kova_gpu_eth_txq *txq, uint32_t b, uint32_t threads_per_block, const kova_gpu_buf_arr &packets,
		    uint32_t job_size, uint64_t *counters, const uint8_t *stop) noexcept
{
	uint32_t taken = 0;
	for (uint32_t i = 0; i < threads_per_block; ++i) {
		uint32_t const t = b * threads_per_block + i;
		const std::byte *frame = packets.base + std::size_t{t % packets.num_elems} * packets.elem_size;
		for (;;) {
			int const result = txq->send(txq, frame, job_size);
			if (result == KOVA_SUCCESS) {
				count(counters, t, job_size);
				++taken;
				break;
			}
			if (result != KOVA_ERROR_AGAIN || stop_raised(stop))
				break;
			pause_briefly();
		}
		if (stop_raised(stop))
			break;
	}
	txq->flush(txq);
	return taken;
}

void run_eth_recv(const void *raw, uint32_t first_block, uint32_t num_blocks)
{
	auto const &params = *static_cast<const eth_recv_params *>(raw);
	std::vector<rx_block_state> states(num_blocks);
	// With several blocks, a call that waits holds up the others: each waits only its share.
	uint64_t const timeout = params.timeout_ns / num_blocks;
	while (!stop_raised(params.stop_flag)) {
		for (uint32_t i = 0; i < num_blocks; ++i) {
			uint32_t const b = first_block + i;
			receive_block(params.rxqs[b], b, params.threads_per_block, params.max_rx_packets, timeout,
				      params.counters, params.stop_flag, states[i]);
		}
	}
}

void run_eth_send(const void *raw, uint32_t first_block, uint32_t num_blocks)
{
	auto const &params = *static_cast<const eth_send_params *>(raw);
	while (!stop_raised(params.stop_flag)) {
		for (uint32_t i = 0; i < num_blocks; ++i) {
			uint32_t const b = first_block + i;
			send_block(params.txqs[b], b, params.threads_per_block, *params.packets, params.job_size,
				   params.counters, params.stop_flag);
		}
	}
}

void run_eth_bidir(const void *raw, uint32_t first_block, uint32_t num_blocks)
{
	auto const &params = *static_cast<const eth_bidir_params *>(raw);
	std::vector<rx_block_state> states(num_blocks);
	uint64_t const timeout = params.timeout_ns / num_blocks;
	while (!stop_raised(params.stop_flag)) {
		for (uint32_t i = 0; i < num_blocks; ++i) {
			uint32_t const b = first_block + i;
			send_block(params.txqs[b], b, params.threads_per_block, *params.packets, params.job_size,
				   params.counters, params.stop_flag);
			receive_block(params.rxqs[b], b, params.threads_per_block, params.max_rx_packets, timeout,
				      params.counters, params.stop_flag, states[i]);
		}
	}
}

template <typename Params>
void eth_ended(const void *raw)
{
	mark_ended(static_cast<const Params *>(raw)->stop_flag);
}

bool valid_geometry(uint32_t blocks, uint32_t threads_per_block, const uint8_t *stop, const uint64_t *counters) noexcept
{
	uint32_t const threads = gpu_threads(blocks, threads_per_block);
	return threads != 0 && stop != nullptr && counters != nullptr &&
	       rhun::mem_contains(counters, std::size_t{threads} * 16);
}

template <typename Handle>
bool valid_queues(Handle *const *queues, uint32_t blocks) noexcept
{
	if (queues == nullptr)
		return false;
	for (uint32_t b = 0; b < blocks; ++b) {
		if (queues[b] == nullptr || queues[b]->queue == nullptr)
			return false;
	}
	return true;
}

bool valid_packets(const kova_gpu_buf_arr *packets, uint32_t job_size) noexcept
{
	return packets != nullptr && packets->pid == 0 && packets->num_elems != 0 && job_size != 0 &&
	       job_size <= packets->elem_size &&
	       rhun::mem_contains(packets->base, packets->elem_size * packets->num_elems);
}

} // namespace

kova_error start_eth_recv(const eth_recv_params &params) noexcept
{
	if (!valid_geometry(params.blocks, params.threads_per_block, params.stop_flag, params.counters) ||
	    !valid_queues(params.rxqs, params.blocks) || (params.max_rx_packets == 0 && params.timeout_ns == 0))
		return KOVA_ERROR_INVALID_VALUE;
	const void *const uses[] = {params.stop_flag, params.counters};
	rhun::launch_request const request{"eth_recv", run_eth_recv, &params, sizeof(params), params.blocks, 0,
					   uses, 2, eth_ended<eth_recv_params>};
	return rhun::launch(request);
}

kova_error start_eth_send(const eth_send_params &params) noexcept
{
	if (!valid_geometry(params.blocks, params.threads_per_block, params.stop_flag, params.counters) ||
	    !valid_queues(params.txqs, params.blocks) || !valid_packets(params.packets, params.job_size))
		return KOVA_ERROR_INVALID_VALUE;
	const void *const uses[] = {params.stop_flag, params.counters, params.packets->base};
	rhun::launch_request const request{"eth_send", run_eth_send, &params, sizeof(params), params.blocks, 0,
					   uses, 3, eth_ended<eth_send_params>};
	return rhun::launch(request);
}

kova_error start_eth_bidir(const eth_bidir_params &params) noexcept
{
	if (!valid_geometry(params.blocks, params.threads_per_block, params.stop_flag, params.counters) ||
	    !valid_queues(params.txqs, params.blocks) || !valid_queues(params.rxqs, params.blocks) ||
	    !valid_packets(params.packets, params.job_size) || (params.max_rx_packets == 0 && params.timeout_ns == 0))
		return KOVA_ERROR_INVALID_VALUE;
	const void *const uses[] = {params.stop_flag, params.counters, params.packets->base};
	rhun::launch_request const request{"eth_bidir", run_eth_bidir, &params, sizeof(params), params.blocks, 0,
					   uses, 3, eth_ended<eth_bidir_params>};
	return rhun::launch(request);
}

} // namespace kova::sdk::kernels
