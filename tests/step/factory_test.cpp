// Tests for src/step/factory.cpp: the table of step names and the capability list, over the
// stand-in libraries of the build's lib/.
#include "step/dma_fixture.hpp"

#include "kova_exception.hpp"
#include "step/factory.hpp"
#include "utility/async/sequence.hpp"
#include "support/kova_throws.hpp"

#include <kova/error.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace kova::bench::step::test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

class step_factory : public dma_fixture {
protected:
	std::unique_ptr<object> create(const std::string &name)
	{
		return factory::create_step(name, attributes, state, pe.get(), on_success, on_error, self());
	}

	// The code and message of the exception create_step throws for the name.
	std::pair<kova_error, std::string> refusal(const std::string &name)
	{
		try {
			create(name);
		} catch (const kova::exception &error) {
			return {error.code(), error.what()};
		}
		ADD_FAILURE() << "\"" << name << "\" was created";
		return {KOVA_SUCCESS, ""};
	}

	object::attributes attributes = make_attributes(8, 1);
};

TEST_F(step_factory, creates_the_dma_step_by_its_exact_name)
{
	auto step = create("kova_dma");
	ASSERT_NE(step, nullptr);
	EXPECT_STREQ(step->get_name(), "kova_dma");
	kova_buf *out = output(8);
	task_set const set = step->create_task_set(input("abc"), out, out, kova_data{.u64 = 1});
	ASSERT_EQ(kova_task_submit(set.task), KOVA_SUCCESS);
	wait_for_completions(1);
	EXPECT_EQ(contents(out), "abc");
}

TEST_F(step_factory, refuses_names_outside_the_table_as_unknown)
{
	for (std::string const name : {"kova_dma ", " kova_dma", "KOVA_DMA", "Kova_dma", "kova_dma::x", "kova_dma::",
				       "kova_tessel::rdma", "kova_sha::hash", "kova_eth", "", "kova_dm"}) {
		SCOPED_TRACE("\"" + name + "\"");
		auto const [code, message] = refusal(name);
		EXPECT_EQ(code, KOVA_ERROR_INVALID_VALUE);
		EXPECT_EQ(message, "Unable to create step object of unknown type: \"" + name + "\"");
	}
}

TEST_F(step_factory, knows_every_step_name_and_none_is_left_out_of_the_build)
{
	for (std::string const name : {"kova_tessel::eth_rx", "kova_tessel::eth_tx", "kova_tessel::eth_bidir"}) {
		SCOPED_TRACE(name);
		auto const [code, message] = refusal(name);
		EXPECT_NE(code, KOVA_ERROR_NOT_SUPPORTED) << message;
		EXPECT_THAT(message, Not(HasSubstr("not available")));
		EXPECT_THAT(message, Not(HasSubstr("unknown type")));
	}
}

TEST_F(step_factory, builds_the_gpu_steps_which_need_an_open_gpu)
{
	for (std::string const name : {"kova_tessel::nop", "kova_tessel::rdma_gpu", "kova_tessel::eth_rx",
				       "kova_tessel::eth_tx", "kova_tessel::eth_bidir"}) {
		SCOPED_TRACE(name);
		auto const [code, message] = refusal(name);
		EXPECT_EQ(code, KOVA_ERROR_INVALID_VALUE);
		EXPECT_EQ(message, "No GPU is open: the GPU steps need --gpu");
	}
}

TEST_F(step_factory, creates_each_local_offload_step_by_its_exact_name)
{
	attributes.attribute_map = {{"kova_compress.algorithm", "deflate"},
				    {"kova_sha.algorithm", "sha256"},
				    {"kova_aes_gcm.key", "000102030405060708090a0b0c0d0e0f"},
				    {"kova_ec.data_block_count", "8"},
				    {"kova_ec.redundancy_block_count", "2"}};
	for (std::string const name : {"kova_aes_gcm::decrypt", "kova_aes_gcm::encrypt", "kova_compress::compress",
				       "kova_compress::decompress", "kova_sha", "kova_ec::create", "kova_ec::update",
				       "kova_ec::recover"}) {
		SCOPED_TRACE(name);
		auto step = create(name);
		ASSERT_NE(step, nullptr);
		EXPECT_EQ(step->get_name(), name);
		EXPECT_EQ(step->start_async_setup(), nullptr);
		EXPECT_EQ(step->get_companion_worker_id(), 0U);
	}
}

TEST_F(step_factory, passes_constructor_failures_on_unchanged)
{
	kova_test_force_result("kova_ctx_start", KOVA_ERROR_DRIVER, 1);
	auto const [code, message] = refusal("kova_dma");
	EXPECT_EQ(code, KOVA_ERROR_DRIVER);
	EXPECT_EQ(message, "Failed to start kova_dma context");
}

TEST_F(step_factory, lists_the_eight_libraries_sorted_by_name)
{
	auto const list = factory::create_step_info_list(state.get_devices()[0]);

	std::vector<std::string> names;
	for (auto const &record : list)
		names.push_back(record.name);
	EXPECT_EQ(names, (std::vector<std::string>{"kova_aes_gcm", "kova_comch", "kova_compress", "kova_dma", "kova_ec",
						   "kova_eth", "kova_rdma", "kova_sha"}));
	for (auto const &record : list) {
		SCOPED_TRACE(record.name);
		EXPECT_TRUE(record.installed);
		EXPECT_TRUE(record.capable);
		EXPECT_TRUE(std::filesystem::equivalent(record.library_path, KOVA_LIB_DIR "/lib" +
							  (record.name == "kova_ec" ? std::string{"kova_erasure_coding"}
										    : record.name) +
							  ".so.2"));
	}

	auto const &dma = list[3];
	ASSERT_EQ(dma.tasks.size(), 1U);
	auto const &memcpy_task = dma.tasks.at("memcpy");
	EXPECT_TRUE(memcpy_task.supported);
	EXPECT_EQ(memcpy_task.max_buffer_length, 2097152U);
	EXPECT_TRUE(memcpy_task.properties.empty());

	// What every task of the local offload libraries can do on the stand-in's devices.
	struct task_case {
		std::size_t library;
		const char *task;
		bool supported;
		uint64_t max_buffer_length;
		std::map<std::string, std::string> properties;
	};
	task_case const tasks[] = {
		{0, "decrypt", true, 2097152, {{"Key sizes", "[128, 256]"}, {"Tag sizes", "[96, 128]"}}},
		{0, "encrypt", true, 2097152, {{"Key sizes", "[128, 256]"}, {"Tag sizes", "[96, 128]"}}},
		{1, "consumer", true, 1048576, {{"Max tasks", "65536"}, {"Max consumers", "1024"}}},
		{1, "producer", true, 1048576, {{"Max tasks", "65536"}, {"Max producers", "1024"}}},
		{2, "compress::deflate", true, 2097152, {}},
		{2, "compress::lz4_stream", false, 0, {}},
		{2, "decompress::deflate", true, 2097152, {}},
		{2, "decompress::lz4_stream", true, 2097152, {}},
		{4, "create", true, 2097152, {{"Max block size", "2097152"}}},
		{4, "recover", true, 2097152, {{"Max block size", "2097152"}}},
		{4, "update", true, 2097152, {{"Max block size", "2097152"}}},
		{6, "bidir", false, 0, {}},
		{6, "receive", true, 1073741824, {}},
		{6, "send", true, 1073741824, {}},
		{7, "hash", true, 2097152, {{"Algorithms", "[sha1, sha256, sha512]"}}},
	};
	for (auto const &c : tasks) {
		SCOPED_TRACE(list[c.library].name + " " + c.task);
		auto const &task = list[c.library].tasks.at(c.task);
		EXPECT_EQ(task.supported, c.supported);
		EXPECT_EQ(task.max_buffer_length, c.max_buffer_length);
		EXPECT_EQ(task.properties, c.properties);
	}
	EXPECT_EQ(list[1].properties, (std::map<std::string, std::string>{{"Max message size", "4080"},
									   {"Max number clients", "64"},
									   {"Max name length", "64"}}));
	std::size_t task_count = 0;
	for (auto const &record : list)
		task_count += record.tasks.size();
	EXPECT_EQ(task_count, std::size(tasks) + 3) << "and the DMA memcpy, the Ethernet recv and send";
}

TEST_F(step_factory, a_device_without_memcpy_and_a_failing_query)
{
	kova_test_override_capability("kova_dma_cap_task_memcpy_is_supported", KOVA_ERROR_NOT_SUPPORTED, 0);
	auto const list = factory::create_step_info_list(state.get_devices()[0]);
	auto const &memcpy_task = list[3].tasks.at("memcpy");
	EXPECT_FALSE(memcpy_task.supported);
	EXPECT_EQ(memcpy_task.max_buffer_length, 0U);

	struct failure_case {
		const char *query;
		const char *message;
	};
	for (auto const &c : {failure_case{"kova_dma_cap_task_memcpy_is_supported", "Failed to query kova_dma memcpy supported"},
			      failure_case{"kova_dma_cap_task_memcpy_get_max_buf_size", "Failed to get kova_dma max buffer size."}}) {
		SCOPED_TRACE(c.query);
		kova_test_reset();
		kova_test_override_capability(c.query, KOVA_ERROR_DRIVER, 0);
		EXPECT_KOVA_THROW(factory::create_step_info_list(state.get_devices()[0]), KOVA_ERROR_DRIVER, c.message);
	}
}

} // namespace
} // namespace kova::bench::step::test
