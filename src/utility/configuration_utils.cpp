#include "utility/configuration_utils.hpp"

#include "configuration.hpp"
#include "impl/configuration_parser.hpp"
#include "kova_exception.hpp"
#include "utility/file_utils.hpp"
#include "utility/string_utils.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
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
		"kova_tessel::eth_bidir", "kova_tessel::rdma_gpu",
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

void resolve_attribute_file_paths(std::unordered_map<std::string, std::string> &attribute_map,
				  const kova::optional<std::string> &input_dir,
				  const kova::optional<std::string> & /*output_dir: no attribute names an output file*/)
{
	auto const key_file = attribute_map.find(fully_qualified_name(attribute::kova_aes_gcm_key_file));
	if (key_file != attribute_map.end())
		key_file->second = append_file_path(input_dir, key_file->second);
}

const property_definition *find_step_attribute(const std::string &name)
{
	for (const property_definition *property : step_attribute_properties) {
		if (name == property->name || name == fully_qualified_name(*property))
			return property;
	}
	return nullptr;
}

cfg_value_type get_cfg_value_type(const std::string &name)
{
	if (const impl::option_row *option = impl::find_option(name))
		return option->value_type;
	if (const property_definition *property = find_step_attribute(name))
		return property->value_type;
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid property name : \"" + name + "\"");
}

namespace {

// Text that reaches an ssh command line: no option-like start, no blanks, no
// shell metacharacters.
bool is_safe_ssh_word(const std::string &text, std::string_view extra_characters)
{
	if (text.empty() || text.front() == '-')
		return false;
	return std::all_of(text.begin(), text.end(), [extra_characters](char c) {
		return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' || c == '-' ||
		       extra_characters.find(c) != std::string_view::npos;
	});
}

// 1..65535, digits only.
kova::optional<uint16_t> parse_port(const std::string &text)
{
	if (text.empty() || text.size() > 5 ||
	    !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
		return {};
	unsigned long const port = std::stoul(text);
	if (port == 0 || port > 65535)
		return {};
	return static_cast<uint16_t>(port);
}

} // namespace

companion_connection_string_fields parse_connection_string(const std::string &text)
{
	std::map<std::string, std::string> pairs;
	for (const std::string &pair : split(text, ",")) {
		if (pair.empty())
			continue;
		auto const eq = pair.find('=');
		std::string key = trim(pair.substr(0, eq));
		std::string value = eq == std::string::npos ? std::string{} : trim(pair.substr(eq + 1));
		pairs.emplace(std::move(key), std::move(value)); // the first occurrence counts
	}
	auto const lookup = [&pairs](const char *key) -> const std::string * {
		auto const found = pairs.find(key);
		return found != pairs.end() ? &found->second : nullptr;
	};

	companion_connection_string_fields fields;
	const std::string *const protocol = lookup("proto");
	if (protocol == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid connection string, no protocol defined");
	fields.protocol = *protocol;
	if (const std::string *mode = lookup("mode"))
		fields.mode = *mode;
	const std::string *const user = lookup("user");
	if (user != nullptr && !is_safe_ssh_word(*user, ""))
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid connection string, invalid user: \"" + *user + "\"");
	if (const std::string *address = lookup("addr")) {
		if (!is_safe_ssh_word(*address, ":%"))
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid connection string, invalid address: \"" + *address + "\"");
		fields.address = *address;
	}
	const std::string *const device = lookup("dev");
	if (device == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid connection string, no device defined");
	fields.device = *device;
	if (const std::string *representor = lookup("rep"))
		fields.representor = *representor;
	if (const std::string *channel_name = lookup("channel-name"))
		fields.channel_name = *channel_name;
	for (auto [key, target] : {std::pair{"port", &fields.port}, std::pair{"ssh-port", &fields.ssh_port}}) {
		if (const std::string *port_text = lookup(key)) {
			kova::optional<uint16_t> const port = parse_port(*port_text);
			if (!port.has_value())
				KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to parse port value: \"" + *port_text + "\"");
			*target = port;
		}
	}
	if (const std::string *gpu = lookup("gpu"))
		fields.gpu = *gpu;
	fields.no_launch = lookup("no-launch") != nullptr;

	auto const build_ssh_target = [&fields, user] {
		fields.ssh_target = user != nullptr ? *user + "@" + *fields.address : *fields.address;
	};
	if (fields.protocol == "tcp") {
		fields.mode.destruct();
		fields.channel_name.destruct();
		if (!fields.port.has_value())
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid connection string, port not specified");
		if (!fields.address.has_value())
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid connection string, address not specified");
		build_ssh_target();
	} else if (fields.protocol == "qrv") {
		std::cout << "WARNING: QRV IS DEPRECATED, USING TCP CONNECTION INSTEAD" << std::endl;
		fields.port = uint16_t{12345};
		if (!fields.mode.has_value())
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid connection string, mode not specified");
		if (*fields.mode != "dpu" && *fields.mode != "host")
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid connection string, invalid mode: \"" + *fields.mode + "\"");
		if (!fields.no_launch && !fields.address.has_value())
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid connection string, address not specified");
		if (fields.address.has_value())
			build_ssh_target();
	} else {
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
			   "Invalid connection string, invalid protocol: \"" + fields.protocol + "\"");
	}
	return fields;
}

void parse_companion_connection_string(const std::string &text, configuration::companion_configuration &companion)
{
	companion_connection_string_fields const fields = parse_connection_string(text);
	uint32_t protocol = 2;
	if (fields.protocol == "qrv")
		protocol = *fields.mode == "dpu" ? 1 : 0;
	companion.connection_string = text;
	companion.device = fields.device;
	companion.representor = fields.representor;
	companion.address = fields.address;
	companion.gpu = fields.gpu;
	companion.port = fields.port;
	companion.ssh_port = fields.ssh_port;
	companion.channel_name = fields.channel_name;
	companion.remote_address = fields.ssh_target;
	companion.no_launch = fields.no_launch;
	companion.protocol = protocol;
}

} // namespace kova::bench::utility
