#include "companion/worker/worker_command_map.hpp"

#include "kova_exception.hpp"
#include "utility/string_utils.hpp"

namespace kova::bench::companion::worker {

void write_number(attribute_map &map, const std::string &key, uint32_t value)
{
	map[key] = std::to_string(value);
}

void write_yes_no(attribute_map &map, const std::string &key, bool value)
{
	map[key] = value ? "yes" : "no";
}

kova::optional<uint32_t> parse_number(const std::string &text)
{
	auto const converted = utility::strto<unsigned int>(text);
	if (!converted.has_value())
		return {};
	return kova::optional<uint32_t>{static_cast<uint32_t>(converted->value)};
}

bool is_yes(const std::string &text) noexcept
{
	return text == "yes";
}

const std::string &find_or_throw(const attribute_map &map, const std::string &key, const std::string &record)
{
	auto const found = map.find(key);
	if (found == map.end())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Bug: " + key + " not found in " + record);
	return found->second;
}

uint32_t number_or_throw(const attribute_map &map, const std::string &key, const std::string &record)
{
	auto const number = parse_number(find_or_throw(map, key, record));
	if (!number.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Bug: " + key + " is not a number in " + record);
	return *number;
}

bool has_keys(const attribute_map &map, std::initializer_list<std::string_view> keys)
{
	for (std::string_view const key : keys) {
		if (map.find(std::string{key}) == map.end())
			return false;
	}
	return true;
}

void throw_invalid(const std::string &record)
{
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "[BUG] invalid " + record);
}

uint32_t number_or_throw(const std::string &text, const std::string &record, std::string_view field)
{
	auto const number = parse_number(text);
	if (!number.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
			   "[BUG] invalid " + record + " - " + std::string{field} + " is not a number");
	return *number;
}

} // namespace kova::bench::companion::worker
