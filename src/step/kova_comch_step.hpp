// The comch steps: each job's buffer sent as a message to a companion consumer worker, or
// received from a companion producer worker, over a comm channel set up before the run. Each step
// instance opens its own server name, which the companion's worker is told.
#pragma once

#include "dl/kova_comch_api.hpp"
#include "runtime_state.hpp"
#include "step/capabilities.hpp"
#include "step/object.hpp"
#include "step/step_async_activity.hpp"
#include "utility/comch_common.hpp"
#include "utility/comch_common_activities.hpp"

#include <kova/types.h>

#include <cstdint>
#include <memory>
#include <string>

namespace kova::bench::step {

// The endpoint configuration of a step: server name "cc_server<n>", the job buffer size, the job
// count as send task count, the SDK's own queue and message sizes.
utility::comch_endpoint::configuration make_comch_cfg(const object::attributes &attributes, uint64_t n);

// A number for a server name that no other step of this process, nor of another process or an
// earlier run, is likely to hold: start time, process id and a per-process counter.
uint64_t next_comch_server_number() noexcept;

class comch_step_base : public object {
public:
	~comch_step_base() override;

	std::unique_ptr<utility::async::sequence> start_async_setup() override;
	std::unique_ptr<utility::async::sequence> start_async_teardown() override;
	[[nodiscard]] uint32_t get_companion_worker_id() const override;
	void set_mmaps(kova_mmap *input_mmap, kova_mmap *output_mmap) override;

	void set_companion_worker_id(uint32_t id) noexcept { m_companion_worker_id = id; }

	[[nodiscard]] const utility::comch_endpoint::configuration &get_endpoint_cfg() const noexcept
	{
		return m_endpoint_cfg;
	}
	[[nodiscard]] uint32_t get_remote_consumer_id() const noexcept { return m_remote_consumer_id; }

protected:
	comch_step_base(utility::comch_endpoint::configuration cfg, const runtime_state &state, kova_pe *pe,
			kova_data ctx_user_data);

	virtual void create_async_start_activities(utility::async::sequence &sequence,
						   utility::comch_async_context &context) = 0;
	virtual void create_async_teardown_activities(utility::async::sequence &sequence) = 0;

	// Activities 1 to 4 of a set-up: the companion's worker, the endpoint, running, connected.
	void register_common_setup(utility::async::sequence &sequence, utility::comch_async_context &context,
				   const char *worker_type, uint32_t worker_buffer_count, const char *after_connection);
	io_buffer_ranges buffer_ranges(const char *who,
				       kova_error (*max_buf_size)(const kova_devinfo *, uint32_t *)) const;

	kova_dev *m_device;
	kova_pe *m_pe;
	utility::comch_endpoint::configuration m_endpoint_cfg;
	std::unique_ptr<utility::comch_endpoint> m_endpoint;
	kova_mmap *m_output_mmap = nullptr;
	const runtime_state *m_state;
	uint32_t m_companion_worker_id = 0;
	uint32_t m_remote_consumer_id = 0;
	std::unique_ptr<utility::comch_async_context> m_setup_context;
	kova_data m_ctx_user_data;
	const dl::kova_comch_api *m_api = nullptr;
};

class kova_comch_consumer_step final : public comch_step_base {
public:
	kova_comch_consumer_step(const attributes &attributes, const runtime_state &state, kova_pe *pe,
				 completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);
	~kova_comch_consumer_step() override;
	[[nodiscard]] const char *get_name() const override;
	[[nodiscard]] io_buffer_ranges get_io_buffer_ranges() const override;
	task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
				 kova_data task_user_data) override;
	// Stops the consumer (its posted receives drain) before its tasks are freed.
	void destroy_all_tasks() override;

	class finalize_async_activity;

private:
	void create_async_start_activities(utility::async::sequence &sequence,
					   utility::comch_async_context &context) override;
	void create_async_teardown_activities(utility::async::sequence &sequence) override;

	std::unique_ptr<utility::comch_consumer> m_consumer;
	utility::comch_consumer::callbacks m_callbacks;
};

class kova_comch_producer_step final : public comch_step_base {
public:
	kova_comch_producer_step(const attributes &attributes, const runtime_state &state, kova_pe *pe,
				 completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);
	~kova_comch_producer_step() override;
	[[nodiscard]] const char *get_name() const override;
	[[nodiscard]] io_buffer_ranges get_io_buffer_ranges() const override;
	// KOVA_ERROR_UNEXPECTED "No remote kova_comch consumer is connected" once the peer's consumer expired.
	task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
				 kova_data task_user_data) override;
	// Stops the producer (its sends drain) before its tasks are freed.
	void destroy_all_tasks() override;

	class finalize_async_activity;

private:
	void create_async_start_activities(utility::async::sequence &sequence,
					   utility::comch_async_context &context) override;
	void create_async_teardown_activities(utility::async::sequence &sequence) override;

	std::unique_ptr<utility::comch_producer> m_producer;
	utility::comch_producer::callbacks m_callbacks;
};

capabilities get_kova_comch_metadata(const kova_devinfo *devinfo);
task_capabilities get_kova_comch_consumer_metadata(const dl::kova_comch_api *api, const kova_devinfo *devinfo);
task_capabilities get_kova_comch_producer_metadata(const dl::kova_comch_api *api, const kova_devinfo *devinfo);

} // namespace kova::bench::step
