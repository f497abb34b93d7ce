// The RDMA steps: each job's buffer sent to, or received from, a companion RDMA worker of the
// opposite role over one connection set up before the run.
#pragma once

#include "companion/worker/worker.hpp"
#include "dl/kova_rdma_api.hpp"
#include "runtime_state.hpp"
#include "step/capabilities.hpp"
#include "step/object.hpp"
#include "step/step_async_activity.hpp"
#include "utility/rdma_common.hpp"

#include <kova/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace kova::bench::step {

class rdma_step_base : public object {
public:
	~rdma_step_base() override = default;

	std::unique_ptr<utility::async::sequence> start_async_setup() override;
	std::unique_ptr<utility::async::sequence> start_async_teardown() override;
	[[nodiscard]] uint32_t get_companion_worker_id() const override;
	void set_mmaps(kova_mmap *input_mmap, kova_mmap *output_mmap) override;
	void destroy_all_tasks() override;

	void set_companion_worker_id(uint32_t id) noexcept { m_companion_worker_id = id; }

protected:
	rdma_step_base(const attributes &attributes, const runtime_state &state, kova_pe *pe, kova_data ctx_user_data);

	virtual void create_async_start_activities(utility::async::sequence &sequence) = 0;
	virtual void create_async_teardown_activities(utility::async::sequence &sequence) = 0;

	// Export, create the companion's worker of `worker_type` with `buffer_count` buffers, connect;
	// then `after_connect` (empty: done).
	void register_setup(utility::async::sequence &sequence, const char *worker_type, uint32_t buffer_count,
			    const std::string &after_connect);
	void register_teardown(utility::async::sequence &sequence);
	// Applies "kova_rdma.transport-type" when given (KOVA_ERROR_NOT_SUPPORTED when the device lacks it).
	void apply_transport_type(const attributes &attributes);
	io_buffer_ranges buffer_ranges(const char *who) const;

	kova_dev *m_device;
	const dl::kova_rdma_api *m_api;
	kova_pe *m_pe;
	utility::rdma_context m_context;
	const runtime_state *m_state;
	uint32_t m_companion_worker_id = 0;
	kova_data m_ctx_user_data;
	kova::optional<uint32_t> m_gid_index;
};

class kova_rdma_send_step final : public rdma_step_base {
public:
	kova_rdma_send_step(const attributes &attributes, const runtime_state &state, kova_pe *pe,
			    completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);
	[[nodiscard]] const char *get_name() const override;
	[[nodiscard]] io_buffer_ranges get_io_buffer_ranges() const override;
	task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
				 kova_data task_user_data) override;

private:
	void create_async_start_activities(utility::async::sequence &sequence) override;
	void create_async_teardown_activities(utility::async::sequence &sequence) override;
};

class kova_rdma_receive_step final : public rdma_step_base {
public:
	kova_rdma_receive_step(const attributes &attributes, const runtime_state &state, kova_pe *pe,
			       completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);
	[[nodiscard]] const char *get_name() const override;
	[[nodiscard]] io_buffer_ranges get_io_buffer_ranges() const override;
	task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
				 kova_data task_user_data) override;

private:
	void create_async_start_activities(utility::async::sequence &sequence) override;
	void create_async_teardown_activities(utility::async::sequence &sequence) override;
};

// Exists by name and refuses to be built (KOVA_ERROR_NOT_SUPPORTED).
class kova_rdma_bidir_step final : public rdma_step_base {
public:
	kova_rdma_bidir_step(const attributes &attributes, const runtime_state &state, kova_pe *pe,
			     completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);
	[[nodiscard]] const char *get_name() const override;
	[[nodiscard]] io_buffer_ranges get_io_buffer_ranges() const override;
	task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
				 kova_data task_user_data) override;

private:
	void create_async_start_activities(utility::async::sequence &sequence) override;
	void create_async_teardown_activities(utility::async::sequence &sequence) override;
};

// The GID index given by "kova_rdma.gid-index" (or "kova_rdma.gid_index"); none when neither is.
// A value that is not a number: KOVA_ERROR_INVALID_VALUE.
kova::optional<uint32_t> get_gid_idx(const object::attributes &attributes);

// Buffers the companion's worker gets for a step of `task_count` jobs.
uint32_t rdma_receive_worker_buffer_count(uint32_t task_count) noexcept;

// The connection details in the fields of a worker's create reply (the parser's exception when absent).
using rdma_reply_blob_reader = std::string (*)(const companion::worker::attribute_map &fields);

// Registers the set-up of a step whose RDMA context pairs with a CPU RDMA worker of the companion:
// export, create the worker of `worker_type` with `buffer_count` buffers of the context's buffer
// size, store the blob `read_blob` finds in its reply, connect; then `after_connect` (empty: done).
void register_rdma_worker_setup(utility::async::sequence &sequence, const runtime_state &state,
				utility::rdma_context &context, kova_pe *pe, uint32_t &worker_id,
				const char *worker_type, uint32_t buffer_count, rdma_reply_blob_reader read_blob,
				const std::string &after_connect);
uint32_t rdma_send_worker_buffer_count(uint32_t task_count) noexcept;

// Completes once the step's connection runs; a refused connect fails it at once.
class rdma_connect_activity final : public step_async_activity {
public:
	rdma_connect_activity(utility::async::sequence_callbacks &callbacks, utility::rdma_context &context,
			      const runtime_state &state, kova_pe *pe, std::string next_activity);
	void start() override;
	void abort() override;
	bool progress(utility::async::sequence_callbacks &callbacks) override;
	void on_api_error(const companion::api::v1::error_response &error) override;
	void on_api_message(const companion::api::message_buffer &message) override;

private:
	utility::rdma_context *m_context;
	kova_pe *m_pe;
};

// Holds the set-up 100 times 10 ms, giving the companion's worker time to post its receives.
class rdma_pre_send_delay_activity final : public step_async_activity {
public:
	rdma_pre_send_delay_activity(utility::async::sequence_callbacks &callbacks, const runtime_state &state,
				     std::string next_activity);
	void start() override;
	void abort() override;
	bool progress(utility::async::sequence_callbacks &callbacks) override;
	void on_api_error(const companion::api::v1::error_response &error) override;
	void on_api_message(const companion::api::message_buffer &message) override;

private:
	uint32_t m_sleeps_left = 100;
};

capabilities get_kova_rdma_metadata(const kova_devinfo *devinfo);
task_capabilities get_kova_rdma_send_metadata(const dl::kova_rdma_api *api, const kova_devinfo *devinfo);
task_capabilities get_kova_rdma_receive_metadata(const dl::kova_rdma_api *api, const kova_devinfo *devinfo);
task_capabilities get_kova_rdma_bidir_metadata(const dl::kova_rdma_api *api, const kova_devinfo *devinfo);

} // namespace kova::bench::step
