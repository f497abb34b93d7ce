// The RDMA steps without a companion: what they ask of the companion, their attributes, and the
// steps the factory builds.
#include "step/factory.hpp"
#include "step/kova_rdma_step.hpp"

#include "rdma_fixture.hpp"

#include <kova/error.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

namespace kova::bench::rdma_test {
namespace {

using step::object;

void on_task(kova_task * /*task*/, kova_data /*task_user_data*/, kova_data /*ctx_user_data*/) {}

TEST(rdma_step_buffers, companion_worker_buffer_counts)
{
	struct row {
		uint32_t jobs;
		uint32_t receive;
		uint32_t send;
	};
	row const rows[] = {{1, 1, 2}, {2, 1, 4}, {3, 1, 6}, {4, 2, 8}, {5, 2, 10}, {64, 32, 128}};
	for (const auto &r : rows) {
		SCOPED_TRACE(r.jobs);
		EXPECT_EQ(step::rdma_receive_worker_buffer_count(r.jobs), r.receive);
		EXPECT_EQ(step::rdma_send_worker_buffer_count(r.jobs), r.send);
	}
}

class rdma_step_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		m_state.open_device_and_representor("03:00.0", {});
		m_pe = utility::make_pe();
	}
	void TearDown() override { kova_test_reset(); }

	object::attributes attributes(std::unordered_map<std::string, std::string> map = {})
	{
		object::attributes value;
		value.task_pool_size = 8;
		value.job_output_buffer_size = 65536;
		value.job_count = 4;
		value.job_input_size = 65536;
		value.attribute_map = std::move(map);
		return value;
	}

	std::unique_ptr<object> make(const std::string &name, const object::attributes &value)
	{
		return step::factory::create_step(name, value, m_state, m_pe.get(), on_task, on_task, kova_data{.u64 = 0});
	}

	runtime_state m_state;
	std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> m_pe;
};

// The GID index under its table spelling or its alias; refused with KOVA_ERROR_INVALID_VALUE when it is no number.
TEST_F(rdma_step_test, reads_the_gid_index_and_refuses_bad_values)
{
	kova_test_trace_enable(1);
	make("kova_rdma::send", attributes({{"kova_rdma.gid-index", "3abc"}}));
	EXPECT_NE(read_trace().find("kova_rdma_set_gid_index(3)"), std::string::npos) << read_trace();
	kova_test_trace_enable(1);
	make("kova_rdma::receive", attributes({{"kova_rdma.gid_index", "2"}}));
	EXPECT_NE(read_trace().find("kova_rdma_set_gid_index(2)"), std::string::npos) << read_trace();
	kova_test_trace_enable(1);
	make("kova_rdma::receive", attributes());
	EXPECT_EQ(read_trace().find("kova_rdma_set_gid_index"), std::string::npos);
	for (const char *bad : {"-1", "abc", "", "99999999999"}) {
		SCOPED_TRACE(bad);
		auto const e = thrown_by([&] { make("kova_rdma::send", attributes({{"kova_rdma.gid-index", bad}})); });
		EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_STREQ(e.what(), "Invalid value for kova_rdma.gid-index");
	}
}

// The transport type is applied where the device has it and refused where it has not.
TEST_F(rdma_step_test, applies_or_refuses_the_transport_type)
{
	kova_test_trace_enable(1);
	make("kova_rdma::send", attributes({{"kova_rdma.transport-type", "RC"}}));
	EXPECT_NE(read_trace().find("kova_rdma_set_transport_type(0)"), std::string::npos) << read_trace();
	auto const dc = thrown_by([&] { make("kova_rdma::send", attributes({{"kova_rdma.transport-type", "DC"}})); });
	EXPECT_EQ(dc.code(), KOVA_ERROR_NOT_SUPPORTED);
	auto const bad = thrown_by([&] { make("kova_rdma::receive", attributes({{"kova_rdma.transport-type", "UD"}})); });
	EXPECT_EQ(bad.code(), KOVA_ERROR_INVALID_VALUE);
	EXPECT_STREQ(bad.what(), "Invalid value for kova_rdma.transport-type");
}

// The send queue depth sizes the send queue; the receive queue depth does not.
TEST_F(rdma_step_test, sizes_the_send_queue_from_the_send_queue_depth)
{
	auto value = attributes();
	value.sq_depth = 5u;
	value.rq_depth = 300u;
	kova_test_trace_enable(1);
	make("kova_rdma::send", value);
	EXPECT_NE(read_trace().find("kova_rdma_set_send_queue_size(5)"), std::string::npos) << read_trace();
	EXPECT_EQ(read_trace().find("kova_rdma_set_send_queue_size(300)"), std::string::npos);
}

TEST_F(rdma_step_test, builds_send_and_receive_and_refuses_bidir)
{
	auto send = make("kova_rdma::send", attributes());
	EXPECT_STREQ(send->get_name(), "kova_rdma::send");
	EXPECT_EQ(send->get_companion_worker_id(), 0u);
	auto const ranges = send->get_io_buffer_ranges();
	EXPECT_EQ(ranges.input, std::make_pair(1u, 1u << 30));
	auto receive = make("kova_rdma::receive", attributes());
	EXPECT_STREQ(receive->get_name(), "kova_rdma::receive");
	auto const e = thrown_by([&] { make("kova_rdma::bidir", attributes()); });
	EXPECT_EQ(e.code(), KOVA_ERROR_NOT_SUPPORTED);
	EXPECT_STREQ(e.what(), "bidir rdma is temporarily disabled");

	kova_test_override_capability("kova_rdma_cap_task_send_is_supported", KOVA_ERROR_NOT_SUPPORTED, 0);
	auto const unsupported = thrown_by([&] { make("kova_rdma::send", attributes()); });
	EXPECT_EQ(unsupported.code(), KOVA_ERROR_NOT_SUPPORTED);
	EXPECT_STREQ(unsupported.what(), "kova_rdma::send is not supported");
	auto const record = step::get_kova_rdma_metadata(kova_dev_as_devinfo(m_state.get_devices()[0]));
	EXPECT_FALSE(record.tasks.at("send").supported);
	EXPECT_TRUE(record.tasks.at("receive").supported);
}

} // namespace
} // namespace kova::bench::rdma_test
