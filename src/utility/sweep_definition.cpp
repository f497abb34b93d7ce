// Parsing of --sweep texts into lists or ranges of values, and the value stores.
#include "utility/sweep_definition.hpp"

#include "kova_exception.hpp"
#include "utility/byte_unit.hpp"
#include "utility/cfg_value_type.hpp"
#include "utility/configuration_utils.hpp"
#include "utility/string_utils.hpp"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>

namespace kova::bench::utility {

namespace {

std::string increment_token(sweep_definition::increment_type increment, uint64_t step)
{
	return (increment == sweep_definition::increment_type::multiplicative ? "*" : "+") + std::to_string(step);
}

// Whether a step makes progress: "+0", "*0" and "*1" do not.
bool step_increases(sweep_definition::increment_type increment, uint64_t step)
{
	return increment == sweep_definition::increment_type::multiplicative ? step > 1 : step > 0;
}

// A product never leaves 0: a multiplied range from 0 has no end, whatever its step.
bool start_can_grow(uint64_t start, sweep_definition::increment_type increment)
{
	return increment != sweep_definition::increment_type::multiplicative || start > 0;
}

std::string start_problem(const std::string &start, const std::string &increment)
{
	return "Invalid sweep start value: " + start + ", a range of " + increment + " cannot start from 0";
}

// The number of values from start to end, counted without building them.
uint64_t range_value_count(uint64_t start, uint64_t end, sweep_definition::increment_type increment, uint64_t step)
{
	if (increment == sweep_definition::increment_type::additive)
		return (end - start) / step + 1;
	uint64_t count = 0;
	for (uint64_t v = start; v <= end; v *= step)
		++count;
	return count;
}

// Why a range cannot be expanded, or empty when it can. Ranges are computed in
// 64 bits, so that no value wraps.
kova::optional<std::string> range_problem(uint32_t start, uint32_t end, sweep_definition::increment_type increment,
					  uint32_t step)
{
	if (start >= end)
		return std::string{"Maximum value for value range bust be greater than minimum value"};
	if (increment != sweep_definition::increment_type::additive &&
	    increment != sweep_definition::increment_type::multiplicative)
		return std::string{"Undefined increment type"};
	if (!step_increases(increment, step))
		return "Invalid sweep increment: " + increment_token(increment, step);
	if (!start_can_grow(start, increment))
		return start_problem(std::to_string(start), increment_token(increment, step));
	uint64_t const count = range_value_count(start, end, increment, step);
	if (count > max_sweep_permutations)
		return "Too many sweep values: " + std::to_string(count) + " (at most " +
		       std::to_string(max_sweep_permutations) + ")";
	return {};
}

// The values of a range, computed from their index: a range holds four numbers whatever its
// length, so that a range far too long to run is refused by the permutation count before any
// memory is spent on it.
class value_range {
public:
	// REQUIRES: range_problem() found nothing.
	value_range(uint32_t start, uint32_t end, sweep_definition::increment_type increment, uint32_t step)
		: m_start{start}, m_step{step}, m_additive{increment == sweep_definition::increment_type::additive},
		  m_count{range_value_count(start, end, increment, step)}
	{
	}

	[[nodiscard]] uint64_t count() const { return m_count; }

	[[nodiscard]] uint32_t nth(uint32_t index) const
	{
		if (m_additive)
			return static_cast<uint32_t>(uint64_t{m_start} + uint64_t{index} * m_step);
		uint64_t value = m_start;
		for (uint32_t i = 0; i != index; ++i)
			value *= m_step;
		return static_cast<uint32_t>(value);
	}

	[[nodiscard]] std::vector<std::string> as_text() const
	{
		std::vector<std::string> texts;
		texts.reserve(m_count);
		for (uint64_t i = 0; i != m_count; ++i)
			texts.push_back(std::to_string(nth(static_cast<uint32_t>(i))));
		return texts;
	}

private:
	uint32_t m_start;
	uint32_t m_step;
	bool m_additive;
	uint64_t m_count;
};

std::vector<sg_configuration> with_split(const std::vector<uint32_t> &values, sg_split_type split)
{
	std::vector<sg_configuration> sg_values;
	sg_values.reserve(values.size());
	for (uint32_t value : values)
		sg_values.push_back({value, split});
	return sg_values;
}

template <typename View, typename Value>
class set_value_store : public View {
public:
	explicit set_value_store(std::vector<Value> values) : m_values{std::move(values)} {}

protected:
	std::vector<Value> m_values;
};

// A store holds a list, or a range whose values are computed from their index (`m_range` set).
class number_set_value_store : public set_value_store<sweep_definition::numeric_value_view, uint32_t> {
public:
	using set_value_store::set_value_store;

	number_set_value_store(uint32_t start, uint32_t end, sweep_definition::increment_type increment, uint32_t step)
		: set_value_store{{}}
	{
		if (kova::optional<std::string> const problem = range_problem(start, end, increment, step))
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, *problem);
		m_range = value_range{start, end, increment, step};
	}

	[[nodiscard]] uint64_t value_count() const override { return m_range ? m_range->count() : m_values.size(); }

	[[nodiscard]] uint32_t get_nth_value(uint32_t index) const override
	{
		assert(index < value_count());
		return m_range ? m_range->nth(index) : m_values[index];
	}

	[[nodiscard]] std::vector<std::string> values_as_text() const override
	{
		if (m_range)
			return m_range->as_text();
		std::vector<std::string> texts;
		texts.reserve(m_values.size());
		for (uint32_t value : m_values)
			texts.push_back(std::to_string(value));
		return texts;
	}

private:
	kova::optional<value_range> m_range;
};

class string_set_value_store : public set_value_store<sweep_definition::string_value_view, std::string> {
public:
	using set_value_store::set_value_store;

	[[nodiscard]] uint64_t value_count() const override { return m_values.size(); }

	[[nodiscard]] const std::string &get_nth_value(uint32_t index) const override
	{
		assert(index < m_values.size());
		return m_values[index];
	}

	[[nodiscard]] std::vector<std::string> values_as_text() const override { return m_values; }
};

// The view hands out references: of a range, the value asked for last is kept in the store
// (stores are read on one thread, by the configuration's builder).
class sg_config_set_value_store : public set_value_store<sweep_definition::sg_config_value_view, sg_configuration> {
public:
	using set_value_store::set_value_store;

	sg_config_set_value_store(uint32_t start, uint32_t end, sweep_definition::increment_type increment, uint32_t step,
				  sg_split_type split)
		: set_value_store{{}}, m_nth{start, split}
	{
		if (kova::optional<std::string> const problem = range_problem(start, end, increment, step))
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, *problem);
		m_range = value_range{start, end, increment, step};
	}

	[[nodiscard]] uint64_t value_count() const override { return m_range ? m_range->count() : m_values.size(); }

	[[nodiscard]] const sg_configuration &get_nth_value(uint32_t index) const override
	{
		assert(index < value_count());
		if (!m_range)
			return m_values[index];
		m_nth.value = m_range->nth(index);
		return m_nth;
	}

	[[nodiscard]] std::vector<std::string> values_as_text() const override
	{
		if (m_range)
			return m_range->as_text();
		std::vector<std::string> texts;
		texts.reserve(m_values.size());
		for (const auto &value : m_values)
			texts.push_back(std::to_string(value.value));
		return texts;
	}

private:
	kova::optional<value_range> m_range;
	mutable sg_configuration m_nth{};
};

// The sweep's own negative check, under the name its errors report; a namespace of its own keeps
// it apart from the option handlers' check of the same name.
namespace sweep_checks {

// Negative means written with a leading '-'; a large number is not negative.
void throw_if_value_is_negative(const std::string &token, const std::string &property_name)
{
	auto const first = std::find_if_not(token.begin(), token.end(),
					     [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; });
	if (first != token.end() && *first == '-')
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
			   "Invalid value for sweep " + property_name + ". Value may not be negative");
}

} // namespace sweep_checks

// Reads the leading number (decimal, 0x hexadecimal or 0 octal); empty on a
// range error or when nothing was read. `end` points after the number.
kova::optional<unsigned long long> read_number(const std::string &text, const char *&end)
{
	errno = 0;
	char *stop = nullptr;
	unsigned long long const number = std::strtoull(text.c_str(), &stop, 0);
	end = stop;
	if (errno == ERANGE || stop == text.c_str())
		return {};
	return number;
}

// A number with an optional byte-unit suffix, as bytes; values beyond 64 bits saturate.
uint64_t parse_scaled_value(const std::string &text)
{
	const char *end = nullptr;
	kova::optional<unsigned long long> const number = read_number(text, end);
	if (!number.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to convert value\"" + text + "\" to a number");
	if (*end == '\0')
		return *number;
	auto const bits = static_cast<uint64_t>(from_string<byte_unit>(end));
	unsigned __int128 const bytes = static_cast<unsigned __int128>(*number) * bits / 8;
	return bytes > std::numeric_limits<uint64_t>::max() ? std::numeric_limits<uint64_t>::max()
							     : static_cast<uint64_t>(bytes);
}

uint32_t parse_sweep_value(const std::string &token, const std::string &property_name)
{
	uint64_t const value = parse_scaled_value(token);
	if (value > std::numeric_limits<uint32_t>::max())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
			   "Invalid value for sweep " + property_name + ". Value is too large: \"" + token + "\"");
	return static_cast<uint32_t>(value);
}

sg_split_type parse_sg_split_type(const std::string &text)
{
	const char *end = nullptr;
	kova::optional<unsigned long long> const number = read_number(text, end);
	if (!number.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to convert value\"" + text + "\" to a number");
	if (*number == 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Gather fragments value must not be zero: " + text);
	return *end == '\0' ? sg_split_type::count : sg_split_type::bytes_per_fragment;
}

std::vector<uint32_t> transform_values_into_numbers(const std::vector<std::string> &tokens)
{
	const std::string &property_name = tokens.front();
	for (std::size_t i = 1; i < tokens.size(); ++i)
		sweep_checks::throw_if_value_is_negative(tokens[i], property_name);
	std::vector<uint32_t> values;
	values.reserve(tokens.size() - 1);
	for (std::size_t i = 1; i < tokens.size(); ++i)
		values.push_back(parse_sweep_value(tokens[i], property_name));
	return values;
}

bool is_sg_property(const std::string &name)
{
	return name == "gather-value" || name == "scatter-value";
}

} // namespace

sweep_definition::sweep_definition(std::string property_name, std::vector<uint32_t> values)
	: m_property_name{std::move(property_name)},
	  m_store{std::make_shared<number_set_value_store>(std::move(values))}
{
}

sweep_definition::sweep_definition(std::string property_name, std::vector<std::string> values)
	: m_property_name{std::move(property_name)},
	  m_store{std::make_shared<string_set_value_store>(std::move(values))}
{
}

sweep_definition::sweep_definition(std::string property_name, uint32_t start, uint32_t end, increment_type increment,
				   uint32_t step)
	: m_property_name{std::move(property_name)}, m_store{std::make_shared<number_set_value_store>(start, end, increment, step)}
{
}

sweep_definition::sweep_definition(std::string property_name, uint32_t start, uint32_t end, increment_type increment,
				   uint32_t step, sg_split_type split)
	: m_property_name{std::move(property_name)}, m_store{std::make_shared<sg_config_set_value_store>(start, end, increment, step, split)}
{
}

sweep_definition::sweep_definition(std::string property_name, std::vector<uint32_t> values, sg_split_type split)
	: m_property_name{std::move(property_name)}, m_store{std::make_shared<sg_config_set_value_store>(with_split(values, split))}
{
}

const std::string &sweep_definition::get_property_name() const
{
	return m_property_name;
}

uint64_t sweep_definition::get_value_count() const
{
	if (!m_store)
		KOVA_THROW(KOVA_ERROR_BAD_STATE, "[BUG] no value store in sweep definition");
	return m_store->value_count();
}

std::shared_ptr<const sweep_definition::numeric_value_view> sweep_definition::get_numeric_view() const
{
	return std::dynamic_pointer_cast<const numeric_value_view>(m_store);
}

std::shared_ptr<const sweep_definition::string_value_view> sweep_definition::get_string_view() const
{
	return std::dynamic_pointer_cast<const string_value_view>(m_store);
}

std::shared_ptr<const sweep_definition::sg_config_value_view> sweep_definition::get_sg_config_view() const
{
	return std::dynamic_pointer_cast<const sg_config_value_view>(m_store);
}

std::vector<std::string> sweep_definition::get_values() const
{
	if (!m_store)
		KOVA_THROW(KOVA_ERROR_BAD_STATE, "[BUG] no value store in sweep definition");
	return m_store->values_as_text();
}

sweep_definition sweep_definition_from_string(const std::string &text)
{
	std::vector<std::string> const tokens = split(text, ",");
	if (tokens.size() < 3)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid sweep definition, expect at least 3 tokens");
	if (std::any_of(tokens.begin(), tokens.end(), [](const std::string &token) { return token.empty(); }))
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid sweep definition, no token should be empty");
	const std::string &name = tokens[0];

	if (tokens.size() == 4 && (tokens[3].front() == '+' || tokens[3].front() == '*')) {
		std::string const step_text = tokens[3].substr(1);
		sweep_checks::throw_if_value_is_negative(tokens[1], name);
		sweep_checks::throw_if_value_is_negative(tokens[2], name);
		sweep_checks::throw_if_value_is_negative(step_text, name);
		uint32_t const start = parse_sweep_value(tokens[1], name);
		uint32_t const end = parse_sweep_value(tokens[2], name);
		uint32_t const step = parse_sweep_value(step_text, name);
		auto const increment = tokens[3].front() == '*' ? sweep_definition::increment_type::multiplicative
								: sweep_definition::increment_type::additive;
		kova::optional<sg_split_type> split_type;
		if (is_sg_property(name))
			split_type = parse_sg_split_type(tokens[1]);
		if (start < end && !step_increases(increment, step))
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid sweep increment: " + tokens[3]);
		if (start < end && !start_can_grow(start, increment))
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, start_problem(tokens[1], tokens[3]));
		if (split_type.has_value())
			return {name, start, end, increment, step, *split_type};
		return {name, start, end, increment, step};
	}

	cfg_value_type const type = get_cfg_value_type(name);
	if (type == cfg_value_type::integer)
		return {name, transform_values_into_numbers(tokens)};
	if (is_sg_property(name)) {
		std::vector<uint32_t> values = transform_values_into_numbers(tokens);
		return {name, std::move(values), parse_sg_split_type(tokens[1])};
	}
	return {name, std::vector<std::string>(tokens.begin() + 1, tokens.end())};
}

} // namespace kova::bench::utility
