// The GPU RDMA context, the "kova_tessel::rdma_gpu" step before its set-up, and the GPU worker's maps.
#include "step_gpu/gpu_step_fixture.hpp"

#include "companion/api/message_buffer.hpp"
#include "companion/api/v1/codecs.hpp"
#include "companion/worker/rdma_gpu_worker.hpp"
#include "dl/kova_rdma_api.hpp"
#include "dl/kova_tessel_api.hpp"
#include "step/kova_tessel_step.hpp"
#include "support/kova_throws.hpp"
#include "utility/tessel_common.hpp"

#include <kova_internal/gpu_handles.hpp>

#include <kova/rdma.h>

#include <memory>

namespace kova::bench::gpu_test {
namespace {

namespace worker = companion::worker;
namespace v1 = companion::api::v1;

class rdma_gpu_test : public gpu_step_test {
protected:
	std::unique_ptr<utility::rdma_gpu_ctx> make_context(uint32_t blocks, uint32_t threads_per_block)
	{
		utility::rdma_context::configuration cfg;
		cfg.buffer_size = 512;
		cfg.task_count = 4;
		return std::make_unique<utility::rdma_gpu_ctx>(
			dl::kova_rdma_api::singleton(), dl::kova_tessel_api::singleton(), cfg, blocks, threads_per_block,
			512, m_pe.get(), m_state.get_devices()[0], m_state.get_gpu_device(), kova_data{.u64 = 0});
	}
};

TEST(rdma_gpu_buffers, gpu_threads_round_up_to_a_power_of_two)
{
	struct row {
		uint32_t threads;
		uint32_t buffers;
	};
	for (row const &r : {row{1, 1}, row{2, 2}, row{32, 32}, row{33, 64}, row{96, 128}, row{1U << 31, 1U << 31}})
		EXPECT_EQ(utility::rdma_gpu_buffer_count(r.threads), r.buffers) << r.threads;
	EXPECT_EQ(kova::test::thrown_by([] { utility::rdma_gpu_buffer_count((1U << 31) + 1); }).code(),
		  KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(kova::test::thrown_by([] { utility::gpu_thread_count(0, 32); }).code(), KOVA_ERROR_INVALID_VALUE);
	EXPECT_EQ(utility::gpu_thread_count(65535, 65537), 4294967295U);
}

TEST(rdma_gpu_buffers, the_companion_is_asked_for_half_the_jobs)
{
	for (auto [jobs, buffers] : {std::pair{1U, 1U}, std::pair{3U, 1U}, std::pair{4U, 2U}, std::pair{10U, 5U}})
		EXPECT_EQ(step::tessel_rdma_worker_buffer_count(jobs), buffers) << jobs;
}

TEST_F(rdma_gpu_test, context_publishes_buffers_and_its_flag)
{
	struct row {
		uint32_t blocks;
		uint32_t threads_per_block;
		uint32_t buffers;
	};
	for (row const &r : {row{1, 32, 32}, row{3, 32, 128}, row{1, 1, 1}}) {
		auto context = make_context(r.blocks, r.threads_per_block);
		EXPECT_EQ(context->get_buffer_count(), r.buffers);
		ASSERT_NE(context->get_buf_arr_gpu(), nullptr);
		EXPECT_EQ(context->get_buf_arr_gpu()->num_elems, r.buffers);
		EXPECT_EQ(context->get_buf_arr_gpu()->elem_size, 512U);
		EXPECT_NE(context->get_local_flag_buf_arr_gpu(), nullptr);
		EXPECT_EQ(context->get_remote_flag_buf_arr_gpu(), nullptr);
		EXPECT_NE(context->get_rdma_gpu(), nullptr);
		// The send region holds the fixed pattern, the flag zero.
		auto const *data = static_cast<const uint8_t *>(context->get_data_cpu_address());
		for (uint64_t i = 0; i < uint64_t{r.buffers} * 512; i += 97)
			ASSERT_EQ(data[i], utility::rdma_gpu_ctx::pattern_byte(i)) << i;
	}
}

TEST_F(rdma_gpu_test, a_flag_export_survives_the_wire_and_imports)
{
	auto exporter = make_context(1, 32);
	auto importer = make_context(1, 32);
	std::string const exported = exporter->export_flag_mmap();
	ASSERT_FALSE(exported.empty());
	EXPECT_NE(exported.find('\0'), std::string::npos) << "the descriptor should hold zero bytes";

	// Through a create_worker_response as the companion sends it.
	worker::create_rdma_gpu_worker_response response{"blob", exported};
	companion::api::message_buffer buffer;
	v1::encode_api_message(v1::create_worker_response{7, 1, worker::create_rdma_gpu_worker_response_to_map(response)},
			       buffer);
	v1::create_worker_response decoded;
	v1::decode_api_message(buffer, decoded);
	auto const received = worker::create_rdma_gpu_worker_response_from_map(decoded.fields);
	EXPECT_EQ(received.exported_mmap, exported);

	importer->create_flag_mmap_from_export(received.exported_mmap);
	ASSERT_NE(importer->get_remote_flag_buf_arr_gpu(), nullptr);
	EXPECT_EQ(importer->get_remote_flag_buf_arr_gpu()->base,
		  exporter->get_local_flag_buf_arr_gpu()->base);
}

TEST_F(rdma_gpu_test, an_empty_export_does_not_import)
{
	auto context = make_context(1, 32);
	EXPECT_KOVA_THROW(context->create_flag_mmap_from_export(""), KOVA_ERROR_INVALID_VALUE,
			  "Unable to create from exported memory map.");
	EXPECT_EQ(context->get_remote_flag_buf_arr_gpu(), nullptr);
}

TEST_F(rdma_gpu_test, the_step_before_its_set_up)
{
	auto step = make("kova_tessel::rdma_gpu", attributes());
	auto &gpu_step = dynamic_cast<step::kova_tessel_rdma_gpu_step &>(*step);
	EXPECT_STREQ(step->get_name(), "kova_tessel::rdma_gpu");
	EXPECT_EQ(step->get_companion_worker_id(), 0U);
	EXPECT_EQ(gpu_step.kernel_params().remote_flag_buf_arr, nullptr);
	EXPECT_EQ(gpu_step.kernel_params().local_flag_buf_arr, nullptr);
	EXPECT_EQ(gpu_step.kernel_params().buffer_size, 1024U);
	EXPECT_NE(gpu_step.kernel_params().rdma_gpu, nullptr);
	EXPECT_KOVA_THROW(step->start(), KOVA_ERROR_NOT_SUPPORTED, "setup not complete");
	EXPECT_FALSE(gpu_step.kernel_running());
}

TEST_F(rdma_gpu_test, worker_replies_with_its_blob_and_flag_export_and_ends_unstarted)
{
	auto step_side = make_context(1, 32);
	auto const blob = step_side->get_rdma_context()->get_local_connection_blob();
	worker::create_rdma_gpu_worker_command command;
	command.buffer_size = 512;
	command.num_blocks = 1;
	command.threads_per_block = 32;
	command.connection_string.assign(blob.begin(), blob.end());
	auto made = worker::create_rdma_gpu_worker(5, worker::create_rdma_gpu_worker_command_to_map(command),
						   m_state.get_devices()[0], m_state.get_gpu_device());
	EXPECT_EQ(made->get_id(), 5U);
	EXPECT_STREQ(made->get_type(), "rdma_gpu_send");
	auto &gpu_worker = dynamic_cast<worker::rdma_gpu_worker &>(*made);
	// The send kernel's block carries the local flag and no remote one.
	EXPECT_NE(gpu_worker.kernel_params().local_flag_buf_arr, nullptr);
	EXPECT_EQ(gpu_worker.kernel_params().remote_flag_buf_arr, nullptr);
	EXPECT_EQ(gpu_worker.kernel_params().buffer_size, 512U);
	worker::attribute_map fields{{"exported-mmap", "old"}};
	made->populate_create_worker_response_fields(fields);
	auto const reply = worker::create_rdma_gpu_worker_response_from_map(fields);
	EXPECT_FALSE(reply.connection_string.empty());
	EXPECT_NE(reply.exported_mmap, "old");
	// The step side imports the worker's flag.
	step_side->create_flag_mmap_from_export(reply.exported_mmap);
	EXPECT_NE(step_side->get_remote_flag_buf_arr_gpu(), nullptr);
	// Terminated before its thread ran: nothing was launched, nothing waits.
	made->terminate();
	EXPECT_FALSE(gpu_worker.kernel_running());
	made.reset();
}

TEST_F(rdma_gpu_test, worker_refuses_a_command_without_a_gpu)
{
	worker::create_rdma_gpu_worker_command command;
	command.buffer_size = 512;
	command.num_blocks = 1;
	command.threads_per_block = 32;
	command.connection_string = "x";
	EXPECT_KOVA_THROW(worker::create_rdma_gpu_worker(1, worker::create_rdma_gpu_worker_command_to_map(command),
							 m_state.get_devices()[0], nullptr),
			  KOVA_ERROR_INVALID_VALUE, "No GPU is open: start the companion with --gpu");
}

TEST(rdma_gpu_worker_maps, command_round_trip_and_refusals)
{
	worker::create_rdma_gpu_worker_command command;
	command.buffer_size = 1024;
	command.num_blocks = 2;
	command.threads_per_block = 32;
	command.connection_string = std::string("a\0b", 3);
	auto map = worker::create_rdma_gpu_worker_command_to_map(command);
	EXPECT_EQ(map.size(), 4U);
	auto const parsed = worker::create_rdma_gpu_worker_command_from_map(map);
	EXPECT_EQ(parsed.connection_string, command.connection_string);
	EXPECT_EQ(parsed.buffer_size, 1024U);
	EXPECT_EQ(parsed.num_blocks, 2U);
	EXPECT_EQ(parsed.threads_per_block, 32U);
	EXPECT_FALSE(parsed.gid_idx.has_value());

	struct row {
		const char *key;
		const char *value;
		const char *message;
	};
	for (row const &r :
	     {row{"gid-idx", "x", "[BUG] invalid create_rdma_gpu_worker_command - gid idx is not a number"},
	      row{"buffer-size", "y", "[BUG] invalid create_rdma_gpu_worker_command - buffer size is not a number"},
	      row{"num-blocks", "", "[BUG] invalid create_rdma_gpu_worker_command - num blocks is not a number"},
	      row{"threads-per-block", "-", "[BUG] invalid create_rdma_gpu_worker_command - threads per block is not a number"}}) {
		auto changed = map;
		changed[r.key] = r.value;
		EXPECT_KOVA_THROW(worker::create_rdma_gpu_worker_command_from_map(changed), KOVA_ERROR_INVALID_VALUE,
				  r.message);
	}
	auto missing = map;
	missing.erase("connection-string");
	EXPECT_KOVA_THROW(worker::create_rdma_gpu_worker_command_from_map(missing), KOVA_ERROR_INVALID_VALUE,
			  "[BUG] invalid create_rdma_gpu_worker_command");
}

TEST(rdma_gpu_worker_maps, reply_without_an_export_parses_and_without_a_blob_fails)
{
	auto const reply = worker::create_rdma_gpu_worker_response_from_map({{"connection-string", "c"}});
	EXPECT_EQ(reply.connection_string, "c");
	EXPECT_TRUE(reply.exported_mmap.empty());
	EXPECT_KOVA_THROW(worker::create_rdma_gpu_worker_response_from_map({{"exported-mmap", "e"}}),
			  KOVA_ERROR_INVALID_VALUE,
			  "[BUG] invalid create_rdma_gpu_worker_response, connection-string not provided");
}

} // namespace
} // namespace kova::bench::gpu_test
