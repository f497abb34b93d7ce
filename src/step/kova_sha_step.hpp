// The SHA step ("kova_sha"): one hash task per job, writing the digest of the job's input to its
// output; the next step reads the same input.
#pragma once

#include "dl/kova_sha_api.hpp"
#include "step/object.hpp"

#include <kova/sha.h>
#include <kova/types.h>

#include <memory>
#include <vector>

namespace kova::bench::step {

class kova_sha_step : public object {
public:
	// "kova_sha.algorithm" is "sha1", "sha256" or "sha512" (exact). Throws KOVA_ERROR_NOT_FOUND when the library is
	// not installed, KOVA_ERROR_INVALID_VALUE for a missing or unknown algorithm, KOVA_ERROR_NOT_SUPPORTED when
	// the device cannot hash
	// with it (before any instance exists), and the SDK's code when a call fails.
	kova_sha_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
		      completion_callback success_cb, completion_callback error_cb, kova_data ctx_user_data);

	// Stops the context (draining what is in flight), frees every task, destroys the instance.
	// Prints failures; never throws.
	~kova_sha_step() override;

	kova_sha_step(const kova_sha_step &) = delete;
	kova_sha_step &operator=(const kova_sha_step &) = delete;
	kova_sha_step(kova_sha_step &&) = delete;
	kova_sha_step &operator=(kova_sha_step &&) = delete;

	[[nodiscard]] const char *get_name() const override;
	// Input {1, maximum source size}, output {digest size, maximum source size}; zeros (and a
	// printed line) when a query fails.
	[[nodiscard]] io_buffer_ranges get_io_buffer_ranges() const override;
	std::unique_ptr<utility::async::sequence> start_async_setup() override;
	std::unique_ptr<utility::async::sequence> start_async_teardown() override;
	[[nodiscard]] uint32_t get_companion_worker_id() const override;
	void set_mmaps(kova_mmap *input_mmap, kova_mmap *output_mmap) override;
	// A task hashing the input into the output; the next step reads the same input and output.
	task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
				 kova_data task_user_data) override;
	void destroy_all_tasks() override;

private:
	using instance_owner = std::unique_ptr<kova_sha, decltype(dl::kova_sha_api::kova_sha_destroy)>;

	kova_dev *m_device;
	const dl::kova_sha_api *m_api;
	kova_pe *m_pe;
	instance_owner m_instance;
	std::vector<kova_task *> m_tasks;
	uint32_t m_algorithm;
};

} // namespace kova::bench::step
