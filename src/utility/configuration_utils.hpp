// Step-attribute names and the small helpers shared by option handlers,
// sweeps and steps: attribute maps, value checks, MTU words and file-valued
// attributes.
#pragma once

#include "kova_optional.hpp"
#include "utility/cfg_value_type.hpp"

#include <kova/mtu.h>

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace kova::bench::configuration {
struct companion_configuration;
} // namespace kova::bench::configuration

namespace kova::bench::utility {

// One node of the static tree of property names: a group, or a property that
// can be set as an attribute of a step. Keys join the names from the root down.
struct property_definition {
	uint64_t id;
	const char *name;
	const property_definition *parent; // null for a root
	cfg_value_type value_type;
	uint32_t sweepable; // 0 or 1
};

// The dotted key of a node, such as "kova_rdma.transport-type".
std::string fully_qualified_name(const property_definition &property);

// Same id and same name.
bool operator==(const property_definition &lhs, const property_definition &rhs);

// The step-attribute tree.
namespace attribute {

inline constexpr property_definition zoption{676, "zoption", nullptr, cfg_value_type::group, 0};
inline constexpr property_definition zoption_mmo{683, "mmo", &zoption, cfg_value_type::group, 0};
inline constexpr property_definition zoption_companion_app{706, "companion_app", &zoption, cfg_value_type::group, 0};
inline constexpr property_definition kova_compress{721, "kova_compress", nullptr, cfg_value_type::group, 0};
// Both a property and the group of the compress algorithm's flags.
inline constexpr property_definition kova_compress_algorithm{728, "algorithm", &kova_compress, cfg_value_type::string, 0};
inline constexpr property_definition kova_eth{790, "kova_eth", nullptr, cfg_value_type::group, 0};
inline constexpr property_definition kova_sha{809, "kova_sha", nullptr, cfg_value_type::group, 0};
inline constexpr property_definition kova_rdma{824, "kova_rdma", nullptr, cfg_value_type::group, 0};
inline constexpr property_definition kova_aes_gcm{847, "kova_aes_gcm", nullptr, cfg_value_type::group, 0};
inline constexpr property_definition kova_tessel{894, "kova_tessel", nullptr, cfg_value_type::group, 0};

inline constexpr property_definition zoption_mmo_log_qp_depth{690, "log_qp_depth", &zoption_mmo, cfg_value_type::integer, 1};
inline constexpr property_definition zoption_mmo_log_num_qps{698, "log_num_qps", &zoption_mmo, cfg_value_type::integer, 1};
inline constexpr property_definition zoption_companion_app_path{713, "path", &zoption_companion_app, cfg_value_type::string, 0};
inline constexpr property_definition kova_compress_algorithm_has_block_checksum{736, "has_block_checksum",
										 &kova_compress_algorithm, cfg_value_type::boolean, 0};
inline constexpr property_definition kova_compress_algorithm_are_blocks_independent{
	744, "are_blocks_independent", &kova_compress_algorithm, cfg_value_type::boolean, 0};
inline constexpr property_definition kova_eth_l3_chksum_offload{793, "l3-chksum-offload", &kova_eth, cfg_value_type::boolean, 0};
inline constexpr property_definition kova_eth_l4_chksum_offload{801, "l4-chksum-offload", &kova_eth, cfg_value_type::boolean, 0};
inline constexpr property_definition kova_sha_algorithm{816, "algorithm", &kova_sha, cfg_value_type::string, 0};
inline constexpr property_definition kova_rdma_transport_type{831, "transport-type", &kova_rdma, cfg_value_type::string, 1};
inline constexpr property_definition kova_rdma_gid_index{839, "gid-index", &kova_rdma, cfg_value_type::string, 1};
inline constexpr property_definition kova_aes_gcm_key{854, "key", &kova_aes_gcm, cfg_value_type::string, 0};
inline constexpr property_definition kova_aes_gcm_key_file{862, "key-file", &kova_aes_gcm, cfg_value_type::string, 0};
inline constexpr property_definition kova_aes_gcm_initialization_vector{870, "initialization-vector", &kova_aes_gcm,
									cfg_value_type::string, 0};
inline constexpr property_definition kova_aes_gcm_tag_size{878, "tag-size", &kova_aes_gcm, cfg_value_type::string, 0};
inline constexpr property_definition kova_aes_gcm_aad_size{886, "aad-size", &kova_aes_gcm, cfg_value_type::string, 0};
inline constexpr property_definition kova_tessel_num_blocks{901, "num-blocks", &kova_tessel, cfg_value_type::string, 0};
inline constexpr property_definition kova_tessel_threads_per_block{909, "threads-per-block", &kova_tessel, cfg_value_type::string, 0};
inline constexpr property_definition kova_tessel_eth_rx_timeout_ns{917, "eth-rx-timeout-ns", &kova_tessel, cfg_value_type::string, 0};
inline constexpr property_definition kova_tessel_eth_rx_max_rx_packets{925, "eth-rx-max-rx-packets", &kova_tessel,
								       cfg_value_type::string, 0};

} // namespace attribute

// Every step-attribute property, in table order.
inline constexpr std::array<const property_definition *, 20> step_attribute_properties{
	&attribute::zoption_mmo_log_qp_depth,
	&attribute::zoption_mmo_log_num_qps,
	&attribute::zoption_companion_app_path,
	&attribute::kova_compress_algorithm,
	&attribute::kova_compress_algorithm_has_block_checksum,
	&attribute::kova_compress_algorithm_are_blocks_independent,
	&attribute::kova_eth_l3_chksum_offload,
	&attribute::kova_eth_l4_chksum_offload,
	&attribute::kova_sha_algorithm,
	&attribute::kova_rdma_transport_type,
	&attribute::kova_rdma_gid_index,
	&attribute::kova_aes_gcm_key,
	&attribute::kova_aes_gcm_key_file,
	&attribute::kova_aes_gcm_initialization_vector,
	&attribute::kova_aes_gcm_tag_size,
	&attribute::kova_aes_gcm_aad_size,
	&attribute::kova_tessel_num_blocks,
	&attribute::kova_tessel_threads_per_block,
	&attribute::kova_tessel_eth_rx_timeout_ns,
	&attribute::kova_tessel_eth_rx_max_rx_packets,
};

// True exactly for the GPU-initiated networking steps ("kova_tessel::nop", ...).
bool is_tessel_step_type(const std::string &step_name);

// The key's value, or the default when the map lacks the key.
std::string attribute_or(const std::unordered_map<std::string, std::string> &attributes, const std::string &key,
			 const std::string &default_value);

// A copy of `base` with every entry of `overrides` written over it by key.
std::unordered_map<std::string, std::string> merge_maps(const std::unordered_map<std::string, std::string> &base,
							 const std::unordered_map<std::string, std::string> &overrides);

// Throw KOVA_ERROR_INVALID_VALUE "Invalid value for <context>. Value may not be negative" when the
// value (for a text: its leading decimal number, 0 without digits) is below 0.
void throw_if_value_is_negative(const std::string &value, const std::string &context);
void throw_if_value_is_negative(const int32_t *value, const std::string &context);

// Throws KOVA_ERROR_INVALID_VALUE "Invalid value for <context>. Value must be >= 1" when the value is below 1.
void throw_if_value_is_negative_or_zero(const int32_t *value, const std::string &context);

// "256B"/"256", "512B"/"512", "1KB"/"1000", "2KB"/"2000", "4KB"/"4000", "raw_eth";
// anything else throws KOVA_ERROR_INVALID_VALUE "Invalid mtu size: <text>".
kova_mtu_size parse_mtu_size(const std::string &text);

// Places a key file given as a step attribute (map by fully qualified name) under the input directory.
void resolve_attribute_file_paths(std::unordered_map<std::string, std::string> &attribute_map,
				  const kova::optional<std::string> &input_dir, const kova::optional<std::string> &output_dir);

// The step-attribute property named by its fully qualified key or by its leaf
// name (the first such row in table order), or null.
const property_definition *find_step_attribute(const std::string &name);

// Value type of a command-line option, by long name, or of a step attribute, by
// key or leaf name. Throws KOVA_ERROR_INVALID_VALUE "Invalid property name : \"<name>\"".
cfg_value_type get_cfg_value_type(const std::string &name);

// The fields of a companion connection string
// ("proto=tcp,port=12345,addr=172.17.0.1,dev=3b:00.0").
struct companion_connection_string_fields {
	std::string protocol;
	std::string device;
	kova::optional<std::string> mode;
	kova::optional<std::string> address;
	kova::optional<std::string> representor;
	kova::optional<std::string> channel_name;
	kova::optional<std::string> ssh_target; // [user@]address
	kova::optional<std::string> gpu;
	kova::optional<uint16_t> port;
	kova::optional<uint16_t> ssh_port;
	bool no_launch = false;
};

// Parses and checks a connection string; throws KOVA_ERROR_INVALID_VALUE naming the problem.
companion_connection_string_fields parse_connection_string(const std::string &text);

// Parses a connection string into the companion part of the fixed configuration.
void parse_companion_connection_string(const std::string &text, configuration::companion_configuration &companion);

} // namespace kova::bench::utility
