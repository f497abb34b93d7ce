// One --sweep option: the property it varies and the values it takes, one per
// test permutation, held in a store shared by copies and by the views.
#pragma once

#include "utility/sg_configuration.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kova::bench::utility {

class sweep_definition {
public:
	enum class increment_type : uint32_t {
		undefined = 0,
		additive = 1,       // "+step"
		multiplicative = 2, // "*step"
	};

	class base_view {
	public:
		virtual ~base_view() = default;
		[[nodiscard]] virtual uint64_t value_count() const = 0;
		// Every value as decimal text (sg values without their split type).
		[[nodiscard]] virtual std::vector<std::string> values_as_text() const = 0;
	};

	// get_nth_value: REQUIRES index < get_value_count().
	class numeric_value_view : public base_view {
	public:
		[[nodiscard]] virtual uint32_t get_nth_value(uint32_t index) const = 0;
	};

	class string_value_view : public base_view {
	public:
		[[nodiscard]] virtual const std::string &get_nth_value(uint32_t index) const = 0;
	};

	class sg_config_value_view : public base_view {
	public:
		[[nodiscard]] virtual const sg_configuration &get_nth_value(uint32_t index) const = 0;
	};

	sweep_definition(std::string property_name, std::vector<uint32_t> values);
	sweep_definition(std::string property_name, std::vector<std::string> values);
	// Ranges run from start while the value stays <= end; they throw KOVA_ERROR_INVALID_VALUE when
	// start >= end, for an undefined increment and for a step that does not
	// increase the value.
	sweep_definition(std::string property_name, uint32_t start, uint32_t end, increment_type increment,
			 uint32_t step);
	sweep_definition(std::string property_name, uint32_t start, uint32_t end, increment_type increment,
			 uint32_t step, sg_split_type split);
	sweep_definition(std::string property_name, std::vector<uint32_t> values, sg_split_type split);

	[[nodiscard]] const std::string &get_property_name() const;
	[[nodiscard]] uint64_t get_value_count() const;
	// The store as that kind of view, or empty when it is of another kind.
	[[nodiscard]] std::shared_ptr<const numeric_value_view> get_numeric_view() const;
	[[nodiscard]] std::shared_ptr<const string_value_view> get_string_view() const;
	[[nodiscard]] std::shared_ptr<const sg_config_value_view> get_sg_config_view() const;
	[[nodiscard]] std::vector<std::string> get_values() const;

private:
	std::string m_property_name;
	std::shared_ptr<const base_view> m_store;
};

// Parses "<name>,<v1>,<v2>[,...]" (a list) or "<name>,<start>,<end>,{+|*}<step>"
// (a range). Throws kova::exception KOVA_ERROR_INVALID_VALUE on any bad token.
sweep_definition sweep_definition_from_string(const std::string &text);

// The most values and permutations a sweep may produce.
inline constexpr uint64_t max_sweep_permutations = 2147483647;

} // namespace kova::bench::utility
