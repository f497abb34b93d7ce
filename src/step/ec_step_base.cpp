#include "step/ec_step_base.hpp"

#include "kova_exception.hpp"
#include "step/local_step_utils.hpp"
#include "utility/async/sequence.hpp"
#include "utility/configuration_utils.hpp"
#include "utility/kova_utils.hpp"
#include "utility/string_utils.hpp"

#include <kova/ctx.h>
#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <string>
#include <unordered_map>
#include <utility>

namespace kova::bench::step {
namespace {

constexpr uint32_t max_buffer_size = 2 * 1024 * 1024;

struct matrix_type_name {
	const char *name;
	kova_ec_matrix_type type;
};

constexpr matrix_type_name matrix_types[] = {
	{"cauchy", KOVA_EC_MATRIX_TYPE_CAUCHY},
	{"vandermonde", KOVA_EC_MATRIX_TYPE_VANDERMONDE},
};

// A whole text as a decimal number.
template <typename T>
T as(const std::string &text);

template <>
unsigned int as<unsigned int>(const std::string &text)
{
	auto const parsed = utility::strto<unsigned int>(text);
	if (!parsed.has_value() || parsed->rest.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to convert value\"" + text + "\" to a number");
	return parsed->value;
}

template <typename T, typename Table>
T strto(const std::string &text, const Table &table)
{
	for (const auto &row : table) {
		if (text == row.name)
			return row.type;
	}
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unknown matrix type: \"" + text + "\"");
}

} // namespace

ec_step_base::ec_step_base(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
			   kova_data ctx_user_data)
	: m_device{first_device(state, "kova_ec")},
	  m_api{api_or_throw<dl::kova_erasure_coding_api>("kova_erasure_coding")},
	  m_pe{pe},
	  m_instance{nullptr, m_api->kova_ec_destroy},
	  m_coding_matrix{nullptr, m_api->kova_ec_matrix_destroy}
{
	m_tasks.reserve(attributes.job_count);
	kova_ec *instance = nullptr;
	if (kova_error const err = m_api->kova_ec_create(m_device, &instance))
		KOVA_THROW(err, "Unable to create kova_ec instance.");
	m_instance.reset(instance);

	auto const &map = attributes.attribute_map;
	auto const type = strto<kova_ec_matrix_type>(utility::attribute_or(map, "kova_ec.matrix_type", "cauchy"), matrix_types);
	auto const data_blocks = as<unsigned int>(utility::attribute_or(map, "kova_ec.data_block_count", "1024"));
	auto const redundancy_blocks = as<unsigned int>(utility::attribute_or(map, "kova_ec.redundancy_block_count", "16"));
	kova_ec_matrix *matrix = nullptr;
	if (kova_error const err = m_api->kova_ec_matrix_create(instance, type, data_blocks, redundancy_blocks, &matrix))
		KOVA_THROW(err, "Unable to create KOVA erasure coding matrix");
	m_coding_matrix.reset(matrix);

	if (kova_error const err = kova_ctx_set_user_data(context(), ctx_user_data))
		KOVA_THROW(err, "Failed to set context user data");
	if (kova_error const err = kova_pe_connect_ctx(pe, context()))
		KOVA_THROW(err, "Unable to connect kova_pe to kova_ctx");
}

ec_step_base::~ec_step_base()
{
	utility::stop_ctx(context(), m_pe, "kova_ec", &m_tasks);
	if (leave_in_flight_to_device(context(), m_pe, "kova_ec", m_tasks, m_instance, m_coding_matrix))
		return;
	destroy_all_tasks();
	m_coding_matrix.reset();
	m_tasks = {};
	m_instance.reset();
}

io_buffer_ranges ec_step_base::get_io_buffer_ranges() const
{
	return io_buffer_ranges{{1, max_buffer_size}, {1, max_buffer_size}};
}

kova_ctx *ec_step_base::context() const
{
	return m_api->kova_ec_as_ctx(m_instance.get());
}

void ec_step_base::start_context()
{
	if (kova_error const err = kova_ctx_start(context()))
		KOVA_THROW(err, "Failed to start kova_ec context");
}

task_set ec_step_base::keep(kova_task *task, kova_buf *output, kova_buf *spare)
{
	m_tasks.push_back(task);
	return task_set{task, output, spare, output};
}

std::unique_ptr<utility::async::sequence> ec_step_base::start_async_setup()
{
	return {};
}

std::unique_ptr<utility::async::sequence> ec_step_base::start_async_teardown()
{
	return {};
}

uint32_t ec_step_base::get_companion_worker_id() const
{
	return 0;
}

void ec_step_base::set_mmaps(kova_mmap * /*input_mmap*/, kova_mmap * /*output_mmap*/) {}

void ec_step_base::destroy_all_tasks()
{
	free_tasks(m_tasks);
}

} // namespace kova::bench::step
