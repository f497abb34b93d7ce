#include "step/step_utils.hpp"

#include "kova_exception.hpp"
#include "utility/configuration_utils.hpp"

#include <bit>
#include <cstdlib>

namespace kova::bench::step {

kova_error throw_if_query_fails(kova_error code, const std::string &what)
{
	if (code == KOVA_SUCCESS || code == KOVA_ERROR_NOT_SUPPORTED)
		return code;
	KOVA_THROW(code, "Failed to query " + what);
}

uint8_t log_num_tasks_from_cfg(const object::attributes &attrs)
{
	// A pool size of 0 is treated as 1: one task.
	uint64_t const size = attrs.task_pool_size == 0 ? 1 : attrs.task_pool_size;
	return static_cast<uint8_t>(std::bit_width(size - 1));
}

const std::string *find_attribute(const object::attributes &attributes, const std::string &key)
{
	auto const found = attributes.attribute_map.find(key);
	return found == attributes.attribute_map.end() ? nullptr : &found->second;
}

namespace {

kova::optional<uint8_t> qp_dimension(const object::attributes &attrs, const utility::property_definition &property)
{
	std::string const key = utility::fully_qualified_name(property);
	auto const found = attrs.attribute_map.find(key);
	if (found == attrs.attribute_map.end())
		return {};
	auto const value = static_cast<int32_t>(std::strtol(found->second.c_str(), nullptr, 10));
	utility::throw_if_value_is_negative(&value, key);
	return static_cast<uint8_t>(value);
}

} // namespace

std::pair<kova::optional<uint8_t>, kova::optional<uint8_t>> qp_dimensions_from_cfg(const object::attributes &attrs)
{
	auto log_num_qps = qp_dimension(attrs, utility::attribute::zoption_mmo_log_num_qps);
	auto log_qp_depth = qp_dimension(attrs, utility::attribute::zoption_mmo_log_qp_depth);
	return {std::move(log_num_qps), std::move(log_qp_depth)};
}

} // namespace kova::bench::step
