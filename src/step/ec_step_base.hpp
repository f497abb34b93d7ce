// What the erasure-coding steps share: the library's instance on the first device and the one
// coding matrix every task uses, from "kova_ec.matrix_type" ("cauchy" or "vandermonde"; default
// "cauchy"), "kova_ec.data_block_count" (default 1024) and "kova_ec.redundancy_block_count"
// (default 16).
#pragma once

#include "dl/kova_erasure_coding_api.hpp"
#include "step/object.hpp"

#include <kova/erasure_coding.h>
#include <kova/types.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace kova::bench::step {

class ec_step_base : public object {
public:
	// Stops the context (draining what is in flight), frees every task, destroys the matrix and
	// the instance. Prints failures; never throws.
	~ec_step_base() override;

	ec_step_base(const ec_step_base &) = delete;
	ec_step_base &operator=(const ec_step_base &) = delete;
	ec_step_base(ec_step_base &&) = delete;
	ec_step_base &operator=(ec_step_base &&) = delete;

	// Input and output {1, 2 MiB}: the block counts size no buffer.
	[[nodiscard]] io_buffer_ranges get_io_buffer_ranges() const override;
	std::unique_ptr<utility::async::sequence> start_async_setup() override;
	std::unique_ptr<utility::async::sequence> start_async_teardown() override;
	[[nodiscard]] uint32_t get_companion_worker_id() const override;
	void set_mmaps(kova_mmap *input_mmap, kova_mmap *output_mmap) override;
	void destroy_all_tasks() override;

protected:
	// Creates the instance and the coding matrix, sets the context user data and connects the
	// context to the engine. Throws KOVA_ERROR_NOT_FOUND when the library is not installed,
	// KOVA_ERROR_INVALID_VALUE for an
	// unknown matrix type or a block count that is not a number, and the SDK's code when a call
	// fails (a matrix the library refuses for the counts among them).
	ec_step_base(const object::attributes &attributes, runtime_state &state, kova_pe *pe, kova_data ctx_user_data);

	[[nodiscard]] kova_ctx *context() const;
	// kova_ctx_start; throws the SDK's code with "Failed to start kova_ec context".
	void start_context();
	// Keeps a new task and gives the chained task set: the next step reads what it writes.
	task_set keep(kova_task *task, kova_buf *output, kova_buf *spare);

	using instance_owner = std::unique_ptr<kova_ec, decltype(dl::kova_erasure_coding_api::kova_ec_destroy)>;
	using matrix_owner =
		std::unique_ptr<kova_ec_matrix, decltype(dl::kova_erasure_coding_api::kova_ec_matrix_destroy)>;

	kova_dev *m_device;
	const dl::kova_erasure_coding_api *m_api;
	kova_pe *m_pe;
	instance_owner m_instance;
	std::vector<kova_task *> m_tasks;
	matrix_owner m_coding_matrix;
};

} // namespace kova::bench::step
