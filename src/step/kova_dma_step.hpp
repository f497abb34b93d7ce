// The DMA copy step ("kova_dma"): one memcpy task of the DMA library per job.
#pragma once

#include "dl/kova_dma_api.hpp"
#include "step/object.hpp"

#include <kova/dma.h>
#include <kova/types.h>

#include <memory>
#include <vector>

namespace kova::bench::step {

class kova_dma_step : public object {
public:
	// Creates a DMA instance on the first device of the runtime state, attaches the callbacks and
	// the context user data to it, connects it to the engine and starts it. Throws KOVA_ERROR_NOT_FOUND when the
	// DMA library is not installed, the SDK's code when a call fails. The engine must outlive the step.
	kova_dma_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
		      completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);

	// Stops the context, draining the tasks still in flight through the engine, frees every task and
	// destroys the instance. Prints failures; never throws.
	~kova_dma_step() override;

	kova_dma_step(const kova_dma_step &) = delete;
	kova_dma_step &operator=(const kova_dma_step &) = delete;
	kova_dma_step(kova_dma_step &&) = delete;
	kova_dma_step &operator=(kova_dma_step &&) = delete;

	[[nodiscard]] const char *get_name() const override;
	// Input and output {1, maximum buffer size of the device}; zeros (and a printed line) when the
	// query fails.
	[[nodiscard]] io_buffer_ranges get_io_buffer_ranges() const override;
	std::unique_ptr<utility::async::sequence> start_async_setup() override;
	std::unique_ptr<utility::async::sequence> start_async_teardown() override;
	[[nodiscard]] uint32_t get_companion_worker_id() const override;
	void set_mmaps(kova_mmap *input_mmap, kova_mmap *output_mmap) override;
	// A memcpy task from the input to the output. The next step reads the same input and writes the
	// same output, or, when the pipeline's input is remote, reads this step's local copy.
	task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
				 kova_data task_user_data) override;
	void destroy_all_tasks() override;

private:
	using instance_owner = std::unique_ptr<kova_dma, decltype(dl::kova_dma_api::kova_dma_destroy)>;

	kova_dev *m_device;
	const dl::kova_dma_api *m_api;
	bool m_use_remote_input_buffers;
	kova_pe *m_pe;
	instance_owner m_instance;
	std::vector<kova_task *> m_tasks;
};

} // namespace kova::bench::step
