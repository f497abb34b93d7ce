// What the AES-GCM encrypt and decrypt steps share: the library's instance on the first device, the
// key and the parameters of every task, all from the step attributes.
#pragma once

#include "dl/kova_aes_gcm_api.hpp"
#include "step/object.hpp"

#include <kova/aes_gcm.h>
#include <kova/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kova::bench::step {

class aes_gcm_step_base : public object {
public:
	// Stops the context (draining what is in flight), frees every task, destroys the key and the
	// instance. Prints failures; never throws.
	~aes_gcm_step_base() override;

	aes_gcm_step_base(const aes_gcm_step_base &) = delete;
	aes_gcm_step_base &operator=(const aes_gcm_step_base &) = delete;
	aes_gcm_step_base(aes_gcm_step_base &&) = delete;
	aes_gcm_step_base &operator=(aes_gcm_step_base &&) = delete;

	std::unique_ptr<utility::async::sequence> start_async_setup() override;
	std::unique_ptr<utility::async::sequence> start_async_teardown() override;
	[[nodiscard]] uint32_t get_companion_worker_id() const override;
	void set_mmaps(kova_mmap *input_mmap, kova_mmap *output_mmap) override;
	void destroy_all_tasks() override;

protected:
	// Creates the instance, connects its context to the engine, then makes the key (from
	// "kova_aes_gcm.key-file" or "kova_aes_gcm.key", exactly one of them) and reads the IV, tag size
	// and AAD size. Throws KOVA_ERROR_NOT_FOUND when the library is not installed or no key is given,
	// KOVA_ERROR_INVALID_VALUE for
	// a bad attribute, and the SDK's code when a call fails.
	aes_gcm_step_base(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
			  kova_data ctx_user_data);

	[[nodiscard]] kova_ctx *context() const;
	// kova_ctx_start; throws the SDK's code with "Failed to start kova_aes_gcm context".
	void start_context();
	// Keeps a new task and gives the chained task set: the next step reads what it writes.
	task_set keep(kova_task *task, kova_buf *output, kova_buf *spare);

	void configure_encrypt_job_pool(const object::attributes &attributes, completion_callback success_cb,
					completion_callback error_cb);
	void configure_decrypt_job_pool(const object::attributes &attributes, completion_callback success_cb,
					completion_callback error_cb);

	using instance_owner = std::unique_ptr<kova_aes_gcm, decltype(dl::kova_aes_gcm_api::kova_aes_gcm_destroy)>;
	using key_owner = std::unique_ptr<kova_aes_gcm_key, decltype(dl::kova_aes_gcm_api::kova_aes_gcm_key_destroy)>;

	kova_dev *m_device;
	const dl::kova_aes_gcm_api *m_api;
	kova_pe *m_pe;
	instance_owner m_instance;
	std::vector<kova_task *> m_tasks;
	uint32_t m_key_type;
	key_owner m_key;
	std::vector<uint8_t> m_initialization_vector;
	uint32_t m_tag_size;
	uint32_t m_aad_size;

private:
	void create_key_from_file(const std::string &path);
	void create_key_from_string(const std::string &hex);
	// Makes the key from raw bytes (16 or 32), which it wipes afterwards.
	void create_key_from_vector(std::vector<uint8_t> &bytes);
	void create_initialization_vector(const std::string &hex);
	void set_authentication_tag_size(const std::string &text);
	void set_aad_size(const std::string &text);
};

} // namespace kova::bench::step
