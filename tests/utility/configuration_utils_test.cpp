// Tests for utility/configuration_utils.
#include "utility/configuration_utils.hpp"

#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <unordered_map>

namespace util = kova::bench::utility;
namespace attr = kova::bench::utility::attribute;
using util::cfg_value_type;
using string_map = std::unordered_map<std::string, std::string>;

namespace {

void expect_invalid_value(void (*call)(), const std::string &message)
{
	EXPECT_KOVA_THROW(call(), KOVA_ERROR_INVALID_VALUE, message);
}

} // namespace

TEST(step_attributes, table_keys_types_and_sweepability)
{
	struct {
		uint64_t id;
		const char *key;
		cfg_value_type type;
		bool sweepable;
	} const expected[] = {
		{690, "zoption.mmo.log_qp_depth", cfg_value_type::integer, true},
		{698, "zoption.mmo.log_num_qps", cfg_value_type::integer, true},
		{713, "zoption.companion_app.path", cfg_value_type::string, false},
		{728, "kova_compress.algorithm", cfg_value_type::string, false},
		{736, "kova_compress.algorithm.has_block_checksum", cfg_value_type::boolean, false},
		{744, "kova_compress.algorithm.are_blocks_independent", cfg_value_type::boolean, false},
		{793, "kova_eth.l3-chksum-offload", cfg_value_type::boolean, false},
		{801, "kova_eth.l4-chksum-offload", cfg_value_type::boolean, false},
		{816, "kova_sha.algorithm", cfg_value_type::string, false},
		{831, "kova_rdma.transport-type", cfg_value_type::string, true},
		{839, "kova_rdma.gid-index", cfg_value_type::string, true},
		{854, "kova_aes_gcm.key", cfg_value_type::string, false},
		{862, "kova_aes_gcm.key-file", cfg_value_type::string, false},
		{870, "kova_aes_gcm.initialization-vector", cfg_value_type::string, false},
		{878, "kova_aes_gcm.tag-size", cfg_value_type::string, false},
		{886, "kova_aes_gcm.aad-size", cfg_value_type::string, false},
		{901, "kova_tessel.num-blocks", cfg_value_type::string, false},
		{909, "kova_tessel.threads-per-block", cfg_value_type::string, false},
		{917, "kova_tessel.eth-rx-timeout-ns", cfg_value_type::string, false},
		{925, "kova_tessel.eth-rx-max-rx-packets", cfg_value_type::string, false},
	};
	ASSERT_EQ(std::size(expected), util::step_attribute_properties.size());
	for (std::size_t i = 0; i < std::size(expected); ++i) {
		auto const &row = *util::step_attribute_properties[i];
		SCOPED_TRACE(expected[i].key);
		EXPECT_EQ(row.id, expected[i].id);
		std::string const key = util::fully_qualified_name(row);
		EXPECT_EQ(key, expected[i].key);
		EXPECT_EQ(key.substr(key.rfind('.') + 1), row.name);
		EXPECT_EQ(row.value_type, expected[i].type);
		EXPECT_EQ(row.sweepable, expected[i].sweepable ? 1u : 0u);
	}
}

TEST(step_attributes, group_nodes)
{
	struct {
		const util::property_definition &node;
		const char *key;
	} const cases[] = {
		{attr::zoption_mmo, "zoption.mmo"},
		{attr::zoption, "zoption"},
		{attr::kova_tessel, "kova_tessel"},
		{attr::zoption_companion_app, "zoption.companion_app"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.key);
		EXPECT_EQ(util::fully_qualified_name(c.node), c.key);
		EXPECT_EQ(c.node.value_type, cfg_value_type::group);
	}
}

TEST(step_attributes, equality_compares_id_and_name)
{
	EXPECT_TRUE(attr::kova_sha_algorithm == attr::kova_sha_algorithm);
	EXPECT_FALSE(attr::kova_sha_algorithm == attr::kova_compress_algorithm);

	// Parent, type and sweepability do not take part.
	util::property_definition const same_id_and_name{816, "algorithm", nullptr, cfg_value_type::integer, 1};
	EXPECT_TRUE(same_id_and_name == attr::kova_sha_algorithm);
	util::property_definition const other_name{816, "algorithms", &attr::kova_sha, cfg_value_type::string, 0};
	EXPECT_FALSE(other_name == attr::kova_sha_algorithm);
}

TEST(is_tessel_step_type, exact_names_only)
{
	// The bidirectional GPU Ethernet step is driven by the GPU run loop too: it runs no tasks.
	for (const char *name : {"kova_tessel::nop", "kova_tessel::rdma", "kova_tessel::eth_rx", "kova_tessel::eth_tx",
				 "kova_tessel::eth_bidir", "kova_tessel::rdma_gpu"}) {
		SCOPED_TRACE(name);
		EXPECT_TRUE(util::is_tessel_step_type(name));
	}
	for (const char *name : {"kova_tessel::rdma_gp", "kova_tessel", "kova_tessel::eth_bidi", "KOVA_TESSEL::nop",
				 "kova_tessel::nop ", "kova_rdma::send", ""}) {
		SCOPED_TRACE(name);
		EXPECT_FALSE(util::is_tessel_step_type(name));
	}
}

TEST(attribute_maps, attribute_or_and_merge)
{
	string_map const map{{"a", "1"}, {"empty", ""}};
	EXPECT_EQ(util::attribute_or(map, "a", "x"), "1");
	EXPECT_EQ(util::attribute_or(map, "empty", "x"), "");
	EXPECT_EQ(util::attribute_or(map, "b", "x"), "x");

	EXPECT_EQ(util::merge_maps({{"a", "1"}, {"b", "2"}}, {{"b", "3"}, {"c", "4"}}),
		  (string_map{{"a", "1"}, {"b", "3"}, {"c", "4"}}));
	EXPECT_EQ(util::merge_maps({}, {{"c", "4"}}), (string_map{{"c", "4"}}));
	EXPECT_EQ(util::merge_maps({{"a", "1"}}, {}), (string_map{{"a", "1"}}));
}

TEST(value_checks, negative_text)
{
	struct {
		const char *text;
		bool refused;
	} const cases[] = {
		{"-1", true},
		{"0", false},
		{"5", false},
		{"abc", false},
		{"", false},
		{" -7x", true},
		{"12abc", false},
		{"2147483648", true}, // -2147483648 as a 32-bit number
		{"-4294967296", true}, // 0 in its low 32 bits, still negative
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.text);
		if (c.refused) {
			EXPECT_KOVA_THROW(util::throw_if_value_is_negative(std::string{c.text}, "core-count"),
					  KOVA_ERROR_INVALID_VALUE,
					  "Invalid value for core-count. Value may not be negative");
		} else {
			EXPECT_NO_THROW(util::throw_if_value_is_negative(std::string{c.text}, "core-count"));
		}
	}
}

TEST(value_checks, negative_or_zero_numbers)
{
	int32_t const zero = 0;
	int32_t const one = 1;
	int32_t const minus = -1;
	EXPECT_NO_THROW(util::throw_if_value_is_negative(&zero, "x"));
	EXPECT_NO_THROW(util::throw_if_value_is_negative_or_zero(&one, "x"));
	expect_invalid_value([] {
		int32_t const v = -1;
		util::throw_if_value_is_negative(&v, "threads-per-core");
	}, "Invalid value for threads-per-core. Value may not be negative");
	expect_invalid_value([] {
		int32_t const v = 0;
		util::throw_if_value_is_negative_or_zero(&v, "task-pool-size");
	}, "Invalid value for task-pool-size. Value must be >= 1");
	EXPECT_THROW(util::throw_if_value_is_negative_or_zero(&minus, "x"), kova::exception);
}

TEST(parse_mtu_size, words_and_numbers)
{
	struct {
		const char *text;
		kova_mtu_size size;
	} const accepted[] = {
		{"256B", KOVA_MTU_SIZE_256_BYTES}, {"256", KOVA_MTU_SIZE_256_BYTES}, {"512B", KOVA_MTU_SIZE_512_BYTES},
		{"512", KOVA_MTU_SIZE_512_BYTES},  {"1KB", KOVA_MTU_SIZE_1K_BYTES},  {"1000", KOVA_MTU_SIZE_1K_BYTES},
		{"2KB", KOVA_MTU_SIZE_2K_BYTES},   {"2000", KOVA_MTU_SIZE_2K_BYTES}, {"4KB", KOVA_MTU_SIZE_4K_BYTES},
		{"4000", KOVA_MTU_SIZE_4K_BYTES},  {"raw_eth", KOVA_MTU_SIZE_RAW_ETHERNET},
	};
	for (auto const &c : accepted) {
		SCOPED_TRACE(c.text);
		EXPECT_EQ(util::parse_mtu_size(c.text), c.size);
	}
	for (const char *text : {"1024", "1kb", "3KB", "", " 1KB", "RAW_ETH"}) {
		SCOPED_TRACE(text);
		EXPECT_KOVA_THROW((void)util::parse_mtu_size(text), KOVA_ERROR_INVALID_VALUE,
				  std::string{"Invalid mtu size: "} + text);
	}
}

TEST(resolve_attribute_file_paths, key_file_goes_under_input_directory)
{
	kova::optional<std::string> const keys{std::string{"/keys"}};
	kova::optional<std::string> const out{std::string{"/out"}};
	kova::optional<std::string> const none;
	string_map const with_key{{"kova_aes_gcm.key-file", "k.bin"}, {"kova_sha.algorithm", "sha256"}};
	struct {
		const char *name;
		string_map attributes;
		const kova::optional<std::string> &input;
		string_map expected;
	} const cases[] = {
		{"resolved", with_key, keys, {{"kova_aes_gcm.key-file", "/keys/k.bin"}, {"kova_sha.algorithm", "sha256"}}},
		{"no input directory", with_key, none, with_key},
		{"no key file", {{"kova_aes_gcm.key", "00ff"}}, keys, {{"kova_aes_gcm.key", "00ff"}}},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		string_map attributes = c.attributes;
		util::resolve_attribute_file_paths(attributes, c.input, out);
		EXPECT_EQ(attributes, c.expected);
	}
}
