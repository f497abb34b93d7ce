// The Ethernet steps: "kova_eth::rx" receives the frames of the companion's "eth_send" worker,
// "kova_eth::tx" sends frames to its "eth_recv" worker; one packet per job.
#pragma once

#include "step/capabilities.hpp"
#include "step/object.hpp"
#include "utility/eth_common.hpp"

#include <kova/types.h>

#include <cstdint>
#include <string>

namespace kova::bench::step {

class kova_eth_recv_step final : public object {
public:
	// Builds and starts the receive queue (its traffic steered to it); throws the queue's errors and
	// KOVA_ERROR_INVALID_VALUE for an offload attribute that is not a yes/no word.
	kova_eth_recv_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
			   completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);

	[[nodiscard]] const char *get_name() const override { return "kova_eth::rx"; }
	[[nodiscard]] io_buffer_ranges get_io_buffer_ranges() const override;
	std::unique_ptr<utility::async::sequence> start_async_setup() override;
	std::unique_ptr<utility::async::sequence> start_async_teardown() override;
	[[nodiscard]] uint32_t get_companion_worker_id() const override { return m_worker_id; }
	void set_mmaps(kova_mmap * /*input_mmap*/, kova_mmap * /*output_mmap*/) override {}
	// A receive task into the output buffer (at most 1518 bytes, else KOVA_ERROR_INVALID_VALUE); the next step reads it.
	task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
				 kova_data task_user_data) override;
	void destroy_all_tasks() override { m_queue.destroy_all_tasks(); }

	// Bit 0: L3, bit 1: L4 checksum offload, as the peer sender is told.
	[[nodiscard]] uint32_t get_peer_flags() const noexcept { return m_peer_flags; }
	[[nodiscard]] const utility::eth_rxq &queue() const noexcept { return m_queue; }

private:
	kova_dev *m_device;
	kova_pe *m_pe;
	utility::eth_rxq m_queue;
	const runtime_state *m_state;
	uint32_t m_worker_id = 0;
	uint32_t m_peer_flags = 0;
};

class kova_eth_send_step final : public object {
public:
	kova_eth_send_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
			   completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);

	[[nodiscard]] const char *get_name() const override { return "kova_eth::tx"; }
	[[nodiscard]] io_buffer_ranges get_io_buffer_ranges() const override;
	std::unique_ptr<utility::async::sequence> start_async_setup() override;
	std::unique_ptr<utility::async::sequence> start_async_teardown() override;
	[[nodiscard]] uint32_t get_companion_worker_id() const override { return m_worker_id; }
	void set_mmaps(kova_mmap * /*input_mmap*/, kova_mmap * /*output_mmap*/) override {}
	// A send task of the input's data: 14 to 1518 bytes (code 29 below, KOVA_ERROR_INVALID_VALUE above);
	// the next step reads the same input.
	task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
				 kova_data task_user_data) override;
	void destroy_all_tasks() override { m_queue.destroy_all_tasks(); }

	[[nodiscard]] const utility::eth_txq &queue() const noexcept { return m_queue; }

private:
	kova_dev *m_device;
	kova_pe *m_pe;
	utility::eth_txq m_queue;
	const runtime_state *m_state;
	uint32_t m_worker_id = 0;
};

// The send queue's settings from the step attributes; KOVA_ERROR_INVALID_VALUE "Unable to convert value\"<text>\" to a
// boolean" for an offload attribute that is not exactly one of true/yes/1/false/no/0.
utility::eth_txq::configuration txq_config_from_attrs(const object::attributes &attributes);

capabilities get_kova_eth_metadata(const kova_devinfo *devinfo);

} // namespace kova::bench::step
