#include "step/aes_gcm_step_base.hpp"

#include "kova_exception.hpp"
#include "step/local_step_utils.hpp"
#include "step/step_utils.hpp"
#include "utility/async/sequence.hpp"
#include "utility/configuration_utils.hpp"
#include "utility/file_utils.hpp"
#include "utility/kova_utils.hpp"
#include "utility/string_utils.hpp"

#include <kova/ctx.h>
#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <new>

namespace kova::bench::step {
namespace {

constexpr std::size_t max_initialization_vector_size = 12;

const std::string *find_attribute(const object::attributes &attributes, const utility::property_definition &property)
{
	auto const found = attributes.attribute_map.find(utility::fully_qualified_name(property));
	return found == attributes.attribute_map.end() ? nullptr : &found->second;
}

// Overwrites a secret text before its memory is released.
void wipe(std::string &text) noexcept
{
	step::wipe(text.data(), text.size());
}

} // namespace

aes_gcm_step_base::aes_gcm_step_base(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
				     kova_data ctx_user_data)
	: m_device{first_device(state, "kova_aes_gcm")},
	  m_api{api_or_throw<dl::kova_aes_gcm_api>("kova_aes_gcm")},
	  m_pe{pe},
	  m_instance{nullptr, m_api->kova_aes_gcm_destroy},
	  m_key_type{KOVA_AES_GCM_KEY_128},
	  m_key{nullptr, m_api->kova_aes_gcm_key_destroy},
	  m_initialization_vector(max_initialization_vector_size, 0),
	  m_tag_size{12},
	  m_aad_size{0}
{
	m_tasks.reserve(attributes.job_count);
	kova_aes_gcm *instance = nullptr;
	if (kova_error const err = m_api->kova_aes_gcm_create(m_device, &instance))
		KOVA_THROW(err, "Unable to create kova_aes_gcm instance.");
	m_instance.reset(instance);
	// The library offers no call that applies the queue dimensions; they are only checked.
	static_cast<void>(qp_dimensions_from_cfg(attributes));
	if (kova_error const err = kova_ctx_set_user_data(context(), ctx_user_data))
		KOVA_THROW(err, "Failed to set context user data");
	if (kova_error const err = kova_pe_connect_ctx(pe, context()))
		KOVA_THROW(err, "Unable to connect kova_pe to kova_ctx");

	const std::string *key_file = find_attribute(attributes, utility::attribute::kova_aes_gcm_key_file);
	if (key_file != nullptr)
		create_key_from_file(*key_file);
	if (const std::string *key = find_attribute(attributes, utility::attribute::kova_aes_gcm_key)) {
		if (key_file != nullptr)
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Only one of Key file and key can be provided at once.");
		create_key_from_string(*key);
	} else if (key_file == nullptr) {
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "Key file or key is required for kova_aes_gcm.");
	}
	if (const std::string *iv = find_attribute(attributes, utility::attribute::kova_aes_gcm_initialization_vector))
		create_initialization_vector(*iv);
	if (const std::string *tag = find_attribute(attributes, utility::attribute::kova_aes_gcm_tag_size))
		set_authentication_tag_size(*tag);
	if (const std::string *aad = find_attribute(attributes, utility::attribute::kova_aes_gcm_aad_size))
		set_aad_size(*aad);
}

aes_gcm_step_base::~aes_gcm_step_base()
{
	utility::stop_ctx(context(), m_pe, "kova_aes_gcm", &m_tasks);
	if (leave_in_flight_to_device(context(), m_pe, "kova_aes_gcm", m_tasks, m_instance, m_key)) {
		// The tasks in flight read the vector's bytes: they stay with them.
		utility::leave_to_device(m_pe, new (std::nothrow) std::vector<uint8_t>(std::move(m_initialization_vector)));
		return;
	}
	destroy_all_tasks();
	m_initialization_vector = {};
	m_key.reset();
	m_tasks = {};
	m_instance.reset();
}

void aes_gcm_step_base::create_key_from_file(const std::string &path)
{
	std::string text = utility::load_file_to_string(path);
	std::string trimmed = utility::trim(text);
	wipe(text);
	if (trimmed.empty())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Input data file is empty");
	std::vector<uint8_t> bytes;
	try {
		bytes = utility::hex_string_to_byte_array(trimmed);
	} catch (...) {
		wipe(trimmed);
		throw;
	}
	wipe(trimmed);
	create_key_from_vector(bytes);
}

void aes_gcm_step_base::create_key_from_string(const std::string &hex)
{
	std::vector<uint8_t> bytes = utility::hex_string_to_byte_array(hex);
	create_key_from_vector(bytes);
}

void aes_gcm_step_base::create_key_from_vector(std::vector<uint8_t> &bytes)
{
	struct wiper {
		std::vector<uint8_t> &bytes;
		~wiper() { wipe(bytes.data(), bytes.size()); }
	} const wipe_when_done{bytes};
	if (bytes.size() == 16)
		m_key_type = KOVA_AES_GCM_KEY_128;
	else if (bytes.size() == 32)
		m_key_type = KOVA_AES_GCM_KEY_256;
	else
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Key length must be either 128 or 256 bits long.");
	kova_aes_gcm_key *key = nullptr;
	if (kova_error const err = m_api->kova_aes_gcm_key_create(m_instance.get(), bytes.data(), m_key_type, &key))
		KOVA_THROW(err, "Unable to kova_aes_gcm_key.");
	m_key.reset(key);
}

void aes_gcm_step_base::create_initialization_vector(const std::string &hex)
{
	std::vector<uint8_t> bytes = utility::hex_string_to_byte_array(hex);
	if (bytes.size() > max_initialization_vector_size)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Initialization vector too long.");
	m_initialization_vector = std::move(bytes);
}

void aes_gcm_step_base::set_authentication_tag_size(const std::string &text)
{
	auto const parsed = utility::strto<unsigned int>(text);
	if (!parsed.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to parse authentication tag size, invalid format.");
	if (parsed->value != 12 && parsed->value != 16)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid value for authentication tag size.");
	m_tag_size = parsed->value;
}

void aes_gcm_step_base::set_aad_size(const std::string &text)
{
	auto const parsed = utility::strto<unsigned int>(text);
	if (!parsed.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to parse additional authenticated data size, invalid format.");
	m_aad_size = parsed->value;
}

void aes_gcm_step_base::configure_encrypt_job_pool(const object::attributes &attributes,
						   completion_callback success_cb, completion_callback error_cb)
{
	if (kova_error const err = m_api->kova_aes_gcm_task_encrypt_set_conf(m_instance.get(), success_cb, error_cb,
									     num_tasks_from_cfg(attributes)))
		KOVA_THROW(err, "Failed to set encrypt tasks conf for kova_aes_gcm instance.");
}

void aes_gcm_step_base::configure_decrypt_job_pool(const object::attributes &attributes,
						   completion_callback success_cb, completion_callback error_cb)
{
	if (kova_error const err = m_api->kova_aes_gcm_task_decrypt_set_conf(m_instance.get(), success_cb, error_cb,
									     num_tasks_from_cfg(attributes)))
		KOVA_THROW(err, "Failed to set decrypt tasks conf for kova_aes_gcm instance.");
}

kova_ctx *aes_gcm_step_base::context() const
{
	return m_api->kova_aes_gcm_as_ctx(m_instance.get());
}

void aes_gcm_step_base::start_context()
{
	if (kova_error const err = kova_ctx_start(context()))
		KOVA_THROW(err, "Failed to start kova_aes_gcm context");
}

task_set aes_gcm_step_base::keep(kova_task *task, kova_buf *output, kova_buf *spare)
{
	m_tasks.push_back(task);
	return task_set{task, output, spare, output};
}

std::unique_ptr<utility::async::sequence> aes_gcm_step_base::start_async_setup()
{
	return {};
}

std::unique_ptr<utility::async::sequence> aes_gcm_step_base::start_async_teardown()
{
	return {};
}

uint32_t aes_gcm_step_base::get_companion_worker_id() const
{
	return 0;
}

void aes_gcm_step_base::set_mmaps(kova_mmap * /*input_mmap*/, kova_mmap * /*output_mmap*/) {}

void aes_gcm_step_base::destroy_all_tasks()
{
	free_tasks(m_tasks);
}

} // namespace kova::bench::step
