#include "utility/configuration_utils.hpp"

#include "kova_exception.hpp"
#include "utility/file_utils.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace kova::bench::utility {

std::string fully_qualified_name(const property_definition &property)
{
	std::vector<const char *> names;
	for (const property_definition *node = &property; node != nullptr; node = node->parent)
		names.push_back(node->name);

	std::string key;
	for (auto it = names.rbegin(); it != names.rend(); ++it) {
		if (!key.empty())
			key += '.';
		key += *it;
	}
	return key;
}

bool operator==(const property_definition &lhs, const property_definition &rhs)
{
	return lhs.id == rhs.id && std::strcmp(lhs.name, rhs.name) == 0;
}

bool is_tessel_step_type(const std::string &step_name)
{
	static constexpr std::string_view tessel_steps[] = {
		"kova_tessel::nop", "kova_tessel::rdma", "kova_tessel::eth_rx", "kova_tessel::eth_tx",
		"kova_tessel::rdma_gpu",
	};
	return std::find(std::begin(tessel_steps), std::end(tessel_steps), step_name) != std::end(tessel_steps);
}

std::string attribute_or(const std::unordered_map<std::string, std::string> &attributes, const std::string &key,
			 const std::string &default_value)
{
	auto const found = attributes.find(key);
	return found != attributes.end() ? found->second : default_value;
}

std::unordered_map<std::string, std::string> merge_maps(const std::unordered_map<std::string, std::string> &base,
							 const std::unordered_map<std::string, std::string> &overrides)
{
	std::unordered_map<std::string, std::string> merged{base};
	for (auto const &[key, value] : overrides)
		merged[key] = value;
	return merged;
}

void throw_if_value_is_negative(const std::string &value, const std::string &context)
{
	// A number beyond 32 bits is judged by its own sign as well as by its low
	// 32 bits, so that no negative text passes.
	long const number = std::strtol(value.c_str(), nullptr, 10);
	if (number < 0 || static_cast<int32_t>(number) < 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid value for " + context + ". Value may not be negative");
}

void throw_if_value_is_negative(const int32_t *value, const std::string &context)
{
	if (*value < 0)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid value for " + context + ". Value may not be negative");
}

void throw_if_value_is_negative_or_zero(const int32_t *value, const std::string &context)
{
	if (*value < 1)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid value for " + context + ". Value must be >= 1");
}

kova_mtu_size parse_mtu_size(const std::string &text)
{
	struct mtu_word {
		std::string_view word;
		kova_mtu_size size;
	};
	static constexpr mtu_word words[] = {
		{"256B", KOVA_MTU_SIZE_256_BYTES}, {"256", KOVA_MTU_SIZE_256_BYTES},
		{"512B", KOVA_MTU_SIZE_512_BYTES}, {"512", KOVA_MTU_SIZE_512_BYTES},
		{"1KB", KOVA_MTU_SIZE_1K_BYTES},   {"1000", KOVA_MTU_SIZE_1K_BYTES},
		{"2KB", KOVA_MTU_SIZE_2K_BYTES},   {"2000", KOVA_MTU_SIZE_2K_BYTES},
		{"4KB", KOVA_MTU_SIZE_4K_BYTES},   {"4000", KOVA_MTU_SIZE_4K_BYTES},
		{"raw_eth", KOVA_MTU_SIZE_RAW_ETHERNET},
	};
	for (auto const &w : words) {
		if (w.word == text)
			return w.size;
	}
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid mtu size: " + text);
}

void resolve_attribute_file_paths(step::object::attributes &attributes, const kova::optional<std::string> &input_dir,
				  const kova::optional<std::string> & /*output_dir: no attribute names an output file*/)
{
	auto const key_file = attributes.attribute_map.find(fully_qualified_name(attribute::kova_aes_gcm_key_file));
	if (key_file != attributes.attribute_map.end())
		key_file->second = append_file_path(input_dir, key_file->second);
}

} // namespace kova::bench::utility
