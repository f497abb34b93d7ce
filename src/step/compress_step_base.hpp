// What the compress and decompress steps share: the selected algorithm and the compression
// library's instance on the first device, with its context connected to the thread's engine.
#pragma once

#include "dl/kova_compress_api.hpp"
#include "step/object.hpp"

#include <kova/compress.h>
#include <kova/types.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace kova::bench::step {

// The algorithm named by "kova_compress.algorithm": 0 "deflate", 1 "lz4_stream" (exact). Throws
// KOVA_ERROR_INVALID_VALUE when the attribute is absent or names another algorithm.
uint32_t select_algorithm(const object::attributes &attributes);

class compress_step_base : public object {
public:
	static constexpr uint32_t deflate = 0;
	static constexpr uint32_t lz4_stream = 1;

	// Stops the context (draining what is in flight), frees every task, destroys the instance.
	// Prints failures; never throws.
	~compress_step_base() override;

	compress_step_base(const compress_step_base &) = delete;
	compress_step_base &operator=(const compress_step_base &) = delete;
	compress_step_base(compress_step_base &&) = delete;
	compress_step_base &operator=(compress_step_base &&) = delete;

	std::unique_ptr<utility::async::sequence> start_async_setup() override;
	std::unique_ptr<utility::async::sequence> start_async_teardown() override;
	[[nodiscard]] uint32_t get_companion_worker_id() const override;
	void set_mmaps(kova_mmap *input_mmap, kova_mmap *output_mmap) override;
	void destroy_all_tasks() override;

protected:
	// Creates the instance, sets the context user data and connects the context to the engine.
	// Throws KOVA_ERROR_NOT_FOUND when the library is not installed, the SDK's code when a call fails.
	compress_step_base(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
			   kova_data ctx_user_data, uint32_t algorithm);

	[[nodiscard]] kova_ctx *context() const;
	// kova_ctx_start; throws the SDK's code with "Failed to start kova_compress context".
	void start_context();
	// Keeps a new task and gives the chained task set: the next step reads what it writes.
	task_set keep(kova_task *task, kova_buf *output, kova_buf *spare);

	using instance_owner = std::unique_ptr<kova_compress, decltype(dl::kova_compress_api::kova_compress_destroy)>;

	kova_dev *m_device;
	const dl::kova_compress_api *m_api;
	kova_pe *m_pe;
	instance_owner m_instance;
	std::vector<kova_task *> m_tasks;
	uint32_t m_algorithm;
};

} // namespace kova::bench::step
