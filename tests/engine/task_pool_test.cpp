// Unit tests for src/impl/task_pool.cpp
#include "impl/task_pool.hpp"

#include "kova_exception.hpp"
#include "step/object.hpp"
#include "utility/async/sequence.hpp"
#include "utility/kova_utils.hpp"

#include <kova/buf.h>
#include <kova/dev.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using kova::bench::impl::task_pool;
using kova::bench::impl::task_wrapper;
using kova::bench::utility::pipeline_info;
using kova::bench::utility::sg_configuration;
using kova::bench::utility::sg_split_type;

// A step that records what it was given and hands on its buffers by one of
// the two conventions. Its tasks are tokens the pool never dereferences.
class recording_step : public kova::bench::step::object {
public:
	struct call {
		const kova_buf *input;
		kova_buf *output;
		kova_buf *spare;
		void *user_data;
		kova_task *task;
	};

	explicit recording_step(bool chained) : m_chained{chained} {}

	const char *get_name() const override { return "recording"; }
	kova::bench::step::io_buffer_ranges get_io_buffer_ranges() const override { return {}; }
	std::unique_ptr<kova::bench::utility::async::sequence> start_async_setup() override { return nullptr; }
	std::unique_ptr<kova::bench::utility::async::sequence> start_async_teardown() override { return nullptr; }
	uint32_t get_companion_worker_id() const override { return 0; }
	void set_mmaps(kova_mmap *, kova_mmap *) override {}
	kova::bench::step::task_set create_task_set(const kova_buf *input, kova_buf *output, kova_buf *spare,
						    kova_data task_user_data) override
	{
		m_tokens.push_back(0);
		auto *task = reinterpret_cast<kova_task *>(&m_tokens.back());
		calls.push_back({input, output, spare, task_user_data.ptr, task});
		if (m_chained)
			return {task, output, spare, output};
		return {task, input, output, spare};
	}
	void destroy_all_tasks() override {}

	std::vector<call> calls;

private:
	bool m_chained;
	std::deque<int> m_tokens;
};

struct fragment {
	uint64_t offset; // from the start of the map's region
	uint64_t length;
	uint64_t data_length;

	bool operator==(const fragment &) const = default;
};

std::ostream &operator<<(std::ostream &os, const fragment &f)
{
	return os << "{" << f.offset << ", " << f.length << ", " << f.data_length << "}";
}

std::vector<fragment> chain_of(const kova_buf *head, const task_pool::memory_region &region)
{
	std::vector<fragment> out;
	for (auto *buf = const_cast<kova_buf *>(head); buf != nullptr;) {
		void *start = nullptr;
		size_t length = 0;
		size_t data_length = 0;
		kova_buf_get_head(buf, &start);
		kova_buf_get_len(buf, &length);
		kova_buf_get_data_len(buf, &data_length);
		out.push_back({static_cast<uint64_t>(static_cast<char *>(start) - region.start), length, data_length});
		kova_buf_get_next_in_list(buf, &buf);
	}
	return out;
}

class task_pool_test : public ::testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		auto devices = kova::bench::utility::make_devinfo_list();
		ASSERT_GT(devices.size(), 0u);
		ASSERT_EQ(kova_dev_open(devices.begin()[0], &m_dev), KOVA_SUCCESS);
	}
	void TearDown() override
	{
		kova_dev_close(m_dev);
		kova_test_reset();
	}

	// Jobs over the given input sizes, each with its output size, filled with a counting pattern.
	pipeline_info make_info(const std::vector<std::pair<uint64_t, uint32_t>> &sizes, std::size_t step_count = 1)
	{
		pipeline_info info;
		for (auto const &[input, output] : sizes) {
			m_data.emplace_back(input, '\0');
			for (uint64_t i = 0; i != input; ++i)
				m_data.back()[i] = static_cast<char>('a' + (m_data.size() + i) % 26);
			info.jobs.push_back({m_data.back().data(), input, output});
		}
		info.steps.resize(step_count);
		return info;
	}

	static std::vector<std::unique_ptr<kova::bench::step::object>> make_steps(std::size_t count, bool chained)
	{
		std::vector<std::unique_ptr<kova::bench::step::object>> steps;
		for (std::size_t i = 0; i != count; ++i)
			steps.push_back(std::make_unique<recording_step>(chained));
		return steps;
	}

	static recording_step &step_at(const std::vector<std::unique_ptr<kova::bench::step::object>> &steps,
				       std::size_t index)
	{
		return static_cast<recording_step &>(*steps[index]);
	}

	kova_dev *m_dev = nullptr;
	std::deque<std::string> m_data;
};

void expect_refused(const std::function<void()> &action, kova_error code, const std::string &message)
{
	try {
		action();
		ADD_FAILURE() << "must fail with: " << message;
	} catch (const kova::exception &ex) {
		EXPECT_EQ(ex.code(), code);
		EXPECT_EQ(ex.what(), message);
	}
}

} // namespace

TEST(task_pool_buffer_count, counts_fragments_per_buffer)
{
	using kova::bench::impl::calculate_num_buffers_required_for_scatter_gather_list;
	struct {
		sg_configuration split;
		std::vector<uint64_t> sizes;
		uint64_t expected;
	} const cases[] = {
		{{4, sg_split_type::count}, {}, 0},
		{{4, sg_split_type::count}, {10, 4, 100}, 12},
		{{4096, sg_split_type::bytes_per_fragment}, {10240, 4096, 1, 4097}, 3 + 1 + 1 + 2},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.expected);
		EXPECT_EQ(calculate_num_buffers_required_for_scatter_gather_list(c.split, c.sizes), c.expected);
	}
	expect_refused([] { calculate_num_buffers_required_for_scatter_gather_list({4, sg_split_type::count}, {10, 3}); },
		       KOVA_ERROR_INVALID_VALUE, "Invalid scatter/gather split value for current job size");
}

TEST_F(task_pool_test, one_job_one_step_without_split)
{
	pipeline_info const info = make_info({{10, 16}});
	task_pool pool{info, m_dev};
	auto const steps = make_steps(1, false);
	std::vector<task_wrapper *> const firsts = pool.create_tasks(info, steps);

	auto const in_region = pool.get_input_memory_region();
	auto const out_region = pool.get_output_memory_region();
	EXPECT_EQ(in_region.length, 10u);
	EXPECT_EQ(out_region.length, 32u);
	EXPECT_EQ(std::memcmp(in_region.start, info.jobs[0].data, 10), 0) << "the job's data is copied in";

	ASSERT_EQ(firsts.size(), 1u);
	task_wrapper *const w = firsts[0];
	EXPECT_EQ(w->next, w);
	EXPECT_TRUE(w->is_first);
	EXPECT_TRUE(w->is_last);

	auto const &call = step_at(steps, 0).calls.at(0);
	EXPECT_EQ(call.user_data, w);
	EXPECT_EQ(w->task, call.task);
	EXPECT_EQ(w->input, call.input);
	EXPECT_EQ(w->output, call.output);
	EXPECT_EQ(chain_of(call.input, in_region), (std::vector<fragment>{{0, 10, 10}}));
	EXPECT_EQ(chain_of(call.output, out_region), (std::vector<fragment>{{0, 16, 0}}));
	EXPECT_EQ(chain_of(call.spare, out_region), (std::vector<fragment>{{16, 16, 0}}));
}

TEST_F(task_pool_test, gather_and_scatter_splits)
{
	struct {
		sg_configuration split;
		uint64_t size;
		std::vector<uint64_t> fragments;
	} const cases[] = {
		{{4, sg_split_type::count}, 10, {2, 2, 2, 4}},
		{{1, sg_split_type::count}, 10, {10}},
		{{10, sg_split_type::count}, 10, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
		{{4096, sg_split_type::bytes_per_fragment}, 10240, {4096, 6144}},
		{{4096, sg_split_type::bytes_per_fragment}, 1024, {1024}},
		{{4096, sg_split_type::bytes_per_fragment}, 4096, {4096}},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(std::to_string(c.split.value) + (c.split.split == sg_split_type::count ? " fragments of " : " bytes each of ") +
			     std::to_string(c.size));
		pipeline_info info = make_info({{c.size, static_cast<uint32_t>(c.size)}});
		info.gather = c.split;
		info.scatter = c.split;
		task_pool pool{info, m_dev};
		auto const steps = make_steps(1, false);
		pool.create_tasks(info, steps);
		auto const &call = step_at(steps, 0).calls.at(0);

		std::vector<fragment> input;
		std::vector<fragment> output_a;
		std::vector<fragment> output_b;
		uint64_t offset = 0;
		for (uint64_t length : c.fragments) {
			input.push_back({offset, length, length});
			output_a.push_back({offset, length, 0});
			output_b.push_back({c.size + offset, length, 0});
			offset += length;
		}
		EXPECT_EQ(chain_of(call.input, pool.get_input_memory_region()), input);
		EXPECT_EQ(chain_of(call.output, pool.get_output_memory_region()), output_a);
		EXPECT_EQ(chain_of(call.spare, pool.get_output_memory_region()), output_b);
	}
}

TEST_F(task_pool_test, split_larger_than_a_job_is_refused)
{
	struct {
		const char *name;
		sg_configuration gather;
		sg_configuration scatter;
	} const cases[] = {
		{"gather count above the input size", {11, sg_split_type::count}, {1, sg_split_type::count}},
		{"scatter count above the output size", {1, sg_split_type::count}, {17, sg_split_type::count}},
		{"gather count of zero", {0, sg_split_type::count}, {1, sg_split_type::count}},
		{"scatter size of zero", {1, sg_split_type::count}, {0, sg_split_type::bytes_per_fragment}},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.name);
		pipeline_info info = make_info({{10, 16}});
		info.gather = c.gather;
		info.scatter = c.scatter;
		expect_refused([&] { task_pool pool(info, m_dev); }, KOVA_ERROR_INVALID_VALUE,
			       "Invalid scatter/gather split value for current job size");
	}
}

TEST_F(task_pool_test, output_fragments_are_counted_over_the_output_sizes)
{
	// A job that grows tenfold: its outputs need ten fragments each, its input one.
	pipeline_info info = make_info({{1024, 10240}});
	info.gather = {1024, sg_split_type::bytes_per_fragment};
	info.scatter = {1024, sg_split_type::bytes_per_fragment};
	task_pool pool{info, m_dev};
	auto const steps = make_steps(1, false);
	pool.create_tasks(info, steps);
	auto const &call = step_at(steps, 0).calls.at(0);
	EXPECT_EQ(chain_of(call.input, pool.get_input_memory_region()).size(), 1u);
	EXPECT_EQ(chain_of(call.output, pool.get_output_memory_region()).size(), 10u);
	EXPECT_EQ(chain_of(call.spare, pool.get_output_memory_region()).size(), 10u);
}

TEST_F(task_pool_test, jobs_form_rings_over_chained_steps)
{
	pipeline_info const info = make_info({{10, 12}, {6, 8}}, 3);
	task_pool pool{info, m_dev};
	auto const steps = make_steps(3, true);
	std::vector<task_wrapper *> const firsts = pool.create_tasks(info, steps);
	ASSERT_EQ(firsts.size(), 2u);
	auto const in_region = pool.get_input_memory_region();
	auto const out_region = pool.get_output_memory_region();

	uint64_t const input_offsets[] = {0, 10};
	uint64_t const output_offsets[] = {0, 24};
	for (std::size_t job = 0; job != 2; ++job) {
		SCOPED_TRACE(job);
		auto const &c0 = step_at(steps, 0).calls.at(job);
		auto const &c1 = step_at(steps, 1).calls.at(job);
		auto const &c2 = step_at(steps, 2).calls.at(job);
		uint64_t const output = info.jobs[job].output_size;
		EXPECT_EQ(chain_of(c0.input, in_region), (std::vector<fragment>{{input_offsets[job], info.jobs[job].size, info.jobs[job].size}}));
		EXPECT_EQ(chain_of(c0.output, out_region), (std::vector<fragment>{{output_offsets[job], output, 0}}));
		EXPECT_EQ(chain_of(c0.spare, out_region), (std::vector<fragment>{{output_offsets[job] + output, output, 0}}));

		// Chained: each step reads what the previous one wrote and writes the other output.
		EXPECT_EQ(c1.input, c0.output);
		EXPECT_EQ(c1.output, c0.spare);
		EXPECT_EQ(c1.spare, c0.output);
		EXPECT_EQ(c2.input, c0.spare);
		EXPECT_EQ(c2.output, c0.output);

		task_wrapper *const w0 = firsts[job];
		auto *const w1 = static_cast<task_wrapper *>(c1.user_data);
		auto *const w2 = static_cast<task_wrapper *>(c2.user_data);
		EXPECT_EQ(c0.user_data, w0);
		EXPECT_EQ(w0->next, w1);
		EXPECT_EQ(w1->next, w2);
		EXPECT_EQ(w2->next, w0);
		EXPECT_TRUE(w0->is_first && !w0->is_last);
		EXPECT_TRUE(!w1->is_first && !w1->is_last);
		EXPECT_TRUE(!w2->is_first && w2->is_last);
		EXPECT_EQ(w1->task, c1.task);
		EXPECT_EQ(w1->input, c1.input);
		EXPECT_EQ(w1->output, c1.output);
		EXPECT_EQ(w2->input, c2.input);
	}
}

TEST_F(task_pool_test, jobs_outside_the_maps_are_refused)
{
	pipeline_info const small = make_info({{10, 16}});
	task_pool pool{small, m_dev};
	for (auto const &sizes : {std::pair<uint64_t, uint32_t>{11, 16}, std::pair<uint64_t, uint32_t>{10, 17}}) {
		SCOPED_TRACE(std::to_string(sizes.first) + " -> " + std::to_string(sizes.second));
		pipeline_info const larger = make_info({sizes});
		auto const steps = make_steps(1, false);
		expect_refused([&] { pool.create_tasks(larger, steps); }, KOVA_ERROR_INVALID_VALUE,
			       "Job buffers exceed the memory region of the input/output map");
		EXPECT_TRUE(step_at(steps, 0).calls.empty());
	}
}

TEST_F(task_pool_test, pool_failures)
{
	pipeline_info const info = make_info({{10, 16}});
	{
		task_pool pool{info, m_dev};
		auto const steps = make_steps(2, false); // one more step than the pool was sized for
		expect_refused([&] { pool.create_tasks(info, steps); }, KOVA_ERROR_NO_MEMORY, "Task wrapper pool exhausted");
	}
	{
		task_pool pool{info, m_dev};
		auto const steps = make_steps(1, false);
		kova_test_force_result("kova_buf_inventory_buf_get_by_args", KOVA_ERROR_NO_MEMORY, 1);
		expect_refused([&] { pool.create_tasks(info, steps); }, KOVA_ERROR_NO_MEMORY, "Unable to allocate kova buffer");
	}
	{
		expect_refused([&] { task_pool{info, m_dev}.create_tasks(info, {}); }, KOVA_ERROR_INVALID_VALUE,
			       "Pipeline has no steps");
	}
}

TEST_F(task_pool_test, remote_input_comes_from_the_peers_export)
{
	kova::bench::utility::remote_mmap_definition const remote{{'x', 'y'}};
	pipeline_info info = make_info({{10, 16}});
	info.input_remote_mmap_definition = &remote;
	// Two bytes are no export; the pool asked the SDK for the peer's map rather than copying the jobs.
	expect_refused([&] { task_pool pool(info, m_dev); }, KOVA_ERROR_INVALID_VALUE, "Unable to create mmap from export");
}

TEST_F(task_pool_test, wrappers_stay_in_place_when_the_pool_moves)
{
	pipeline_info const info = make_info({{10, 16}}, 2);
	task_pool pool{info, m_dev};
	auto const steps = make_steps(2, true);
	std::vector<task_wrapper *> const firsts = pool.create_tasks(info, steps);
	task_pool moved{std::move(pool)};
	EXPECT_EQ(firsts[0]->next->next, firsts[0]);
	EXPECT_EQ(firsts[0]->next, step_at(steps, 1).calls.at(0).user_data);

	task_pool target{make_info({{4, 4}}), m_dev};
	target = std::move(moved);
	EXPECT_EQ(firsts[0]->next->next, firsts[0]);
	EXPECT_EQ(target.get_input_memory_region().length, 10u);
}
