// Tests for stats/value_provider_factory: the ids, flags and texts of every value.
#include "stats/value_provider_factory.hpp"

#include "kova_exception.hpp"
#include "stats/stats_test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

using namespace std::chrono_literals;
using namespace kova::bench;
using namespace kova::bench::test;
using stats::data_store;
using stats::thread_id;
using stats::value_provider;

namespace {

const value_provider &find(const std::vector<value_provider> &providers, const std::string &id)
{
	auto const found = std::find_if(providers.begin(), providers.end(), [&](auto const &p) { return p.id == id; });
	if (found == providers.end())
		throw std::runtime_error{"no provider " + id};
	return *found;
}

std::vector<std::string> ids(const std::vector<value_provider> &providers)
{
	std::vector<std::string> result;
	for (auto const &p : providers)
		result.push_back(p.id);
	return result;
}

std::string value(const std::vector<value_provider> &providers, const std::string &id, const data_store &store,
		  stats::permutation_id permutation = 0, thread_id thread = {})
{
	return find(providers, id).getter(store, permutation, thread);
}

kova::exception error_of(const std::function<void()> &action)
{
	try {
		action();
	} catch (const kova::exception &e) {
		return e;
	}
	return kova::exception{KOVA_SUCCESS, "no error", "", "", 0};
}

} // namespace

TEST(value_providers, catalogue_sizes_order_and_flags)
{
	auto const fixed = stats::make_fixed_configuration_value_providers();
	auto const dynamic = stats::make_dynamic_configuration_value_providers();
	auto const perm = stats::make_permutation_stats_value_providers();
	auto const precision = stats::make_permutation_precision_latency_value_providers();
	auto const bulk = stats::make_permutation_bulk_latency_value_providers();

	EXPECT_EQ(ids(fixed),
		  (std::vector<std::string>{
			  "cfg.companion.connection_string", "cfg.pipeline.steps", "cfg.pipeline.use_remote_input_buffers",
			  "cfg.pipeline.use_remote_output_buffers", "cfg.pipeline.bulk_latency.lower_bound",
			  "cfg.pipeline.bulk_latency.bucket_width", "cfg.run_limit.duration", "cfg.run_limit.jobs",
			  "cfg.run_limit.bytes", "cfg.data_provider.type", "cfg.device.pci_address", "cfg.input.cwd",
			  "cfg.output.cwd", "cfg.warmup_job_count", "cfg.core_set", "cfg.benchmark_mode",
			  "cfg.warnings_are_errors", "cfg.use_blocking_mode", "cfg.batch_mode",
			  "cfg.attribute.kova_compress.algorithm", "cfg.attribute.kova_ec.matrix_type",
			  "cfg.attribute.kova_ec.data_block_count", "cfg.attribute.kova_ec.redundancy_block_count",
			  "cfg.attribute.kova_ec.use_precomputed_matrix", "cfg.attribute.kova_eth.l3_chksum_offload",
			  "cfg.attribute.kova_eth.l4_chksum_offload", "cfg.attribute.kova_sha.algorithm"}));
	EXPECT_EQ(ids(dynamic),
		  (std::vector<std::string>{"cfg.uniform_job_size", "cfg.core_count", "cfg.per_core_thread_count",
					    "cfg.task_pool_size", "cfg.data_provider_job_count", "cfg.gather_config",
					    "cfg.scatter_config", "cfg.mtu-size", "cfg.send-queue-size",
					    "cfg.receive-queue-size", "cfg.data-provider-input-file",
					    "cfg.attribute.mmo.log_qp_depth", "cfg.attribute.mmo.log_num_qps"}));
	EXPECT_EQ(ids(perm), (std::vector<std::string>{
				     "stats.input.job_count", "stats.output.job_count", "stats.input.byte_count",
				     "stats.output.byte_count", "stats.input.throughput.bytes",
				     "stats.output.throughput.bytes", "stats.input.throughput.rate",
				     "stats.output.throughput.rate", "cfg.data_provider.output_buffer_size"}));
	EXPECT_EQ(ids(precision),
		  (std::vector<std::string>{"stats.latency.min", "stats.latency.max", "stats.latency.median",
					    "stats.latency.mean", "stats.latency.90th %ile", "stats.latency.95th %ile",
					    "stats.latency.99th %ile", "stats.latency.99.9th %ile",
					    "stats.latency.99.99th %ile"}));
	ASSERT_EQ(bulk.size(), 102u);
	EXPECT_EQ(bulk[0].id, "stats.bulk-latency.b[0]");
	EXPECT_EQ(bulk[9].id, "stats.bulk-latency.b[9]");
	EXPECT_EQ(bulk[10].id, "stats.bulk-latency.b[10]");
	EXPECT_EQ(bulk[101].id, "stats.bulk-latency.b[101]");

	struct {
		const std::vector<value_provider> *list;
		uint32_t flags;
	} const groups[] = {{&fixed, 1}, {&dynamic, 34}, {&precision, 112}, {&bulk, 112}};
	for (auto const &g : groups) {
		for (auto const &p : *g.list)
			EXPECT_EQ(p.flags, g.flags) << p.id;
	}
	for (auto const &p : perm)
		EXPECT_EQ(p.flags, p.id == "cfg.data_provider.output_buffer_size" ? 48u : 112u) << p.id;
}

TEST(value_providers, fixed_configuration_texts)
{
	auto collection = make_collection();
	auto &fixed = collection.fixed;
	fixed.companion.connection_string = "proto=tcp,addr=10.0.0.2";
	fixed.pipelines = {make_pipeline({"kova_dma", "kova_sha"}, 2000, 50)};
	fixed.pipelines[0].use_remote_output_buffers = true;
	fixed.run_limits.max_execution_time.destruct();
	fixed.run_limits.max_jobs = 100;
	fixed.run_limits.max_bytes.destruct();
	fixed.device = "03:00.0";
	fixed.input_cwd = "/in";
	fixed.warm_up_jobs = 4;
	fixed.core_set.cores = {2, 3};
	fixed.benchmark_mode = configuration::benchmark_mode::max_bandwidth;
	fixed.use_blocking_mode = true;
	fixed.batch_mode = configuration::batch_mode::batch_submit_minimal_reports;
	fixed.attributes = {{"kova_compress.algorithm", "deflate"},
			    {"kova_ec.matrix_type", "cauchy"},
			    {"kova_eth.l3-chksum-offload", "true"},
			    {"kova_sha.algorithm", "sha256"}};
	data_store const store{collection, {}, {}};
	auto const providers = stats::make_fixed_configuration_value_providers();

	struct {
		const char *id;
		const char *text;
	} const cases[] = {
		{"cfg.companion.connection_string", "proto=tcp,addr=10.0.0.2"},
		{"cfg.pipeline.steps", "[kova_dma,kova_sha]"},
		{"cfg.pipeline.use_remote_input_buffers", "0"},
		{"cfg.pipeline.use_remote_output_buffers", "1"},
		{"cfg.pipeline.bulk_latency.lower_bound", "2000"},
		{"cfg.pipeline.bulk_latency.bucket_width", "50"},
		{"cfg.run_limit.duration", ""},
		{"cfg.run_limit.jobs", "100"},
		{"cfg.run_limit.bytes", ""},
		{"cfg.data_provider.type", "random-data"},
		{"cfg.device.pci_address", "03:00.0"},
		{"cfg.input.cwd", "/in"},
		{"cfg.output.cwd", ""},
		{"cfg.warmup_job_count", "4"},
		{"cfg.core_set", "[2, 3]"},
		{"cfg.benchmark_mode", "max_bandwidth"},
		{"cfg.warnings_are_errors", "0"},
		{"cfg.use_blocking_mode", "1"},
		{"cfg.batch_mode", "batch-submit-minimal-reports"},
		{"cfg.attribute.kova_compress.algorithm", "deflate"},
		{"cfg.attribute.kova_ec.matrix_type", "cauchy"},
		{"cfg.attribute.kova_ec.data_block_count", ""},
		{"cfg.attribute.kova_eth.l3_chksum_offload", "true"},
		{"cfg.attribute.kova_eth.l4_chksum_offload", ""},
		{"cfg.attribute.kova_sha.algorithm", "sha256"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.id);
		// Fixed values ignore the permutation and the thread.
		EXPECT_EQ(value(providers, c.id, store, 7, thread_id{3}), c.text);
	}
}

TEST(value_providers, fixed_configuration_without_pipelines_and_default_limits)
{
	auto collection = make_collection();
	data_store const defaults{collection, {}, {}};
	auto const providers = stats::make_fixed_configuration_value_providers();
	EXPECT_EQ(value(providers, "cfg.run_limit.duration", defaults), "10");
	EXPECT_EQ(value(providers, "cfg.run_limit.jobs", defaults), "18446744073709551615");
	EXPECT_EQ(value(providers, "cfg.benchmark_mode", defaults), "throughput");
	EXPECT_EQ(value(providers, "cfg.batch_mode", defaults), "none");
	EXPECT_EQ(value(providers, "cfg.core_set", defaults), "[1]");

	collection.fixed.pipelines.clear();
	data_store const no_pipeline{collection, {}, {}};
	EXPECT_EQ(value(providers, "cfg.pipeline.steps", no_pipeline), "[]");
	for (auto const *id : {"cfg.pipeline.use_remote_input_buffers", "cfg.pipeline.use_remote_output_buffers",
			       "cfg.pipeline.bulk_latency.lower_bound", "cfg.pipeline.bulk_latency.bucket_width"})
		EXPECT_EQ(value(providers, id, no_pipeline), "") << id;

	collection.fixed.pipelines = {make_pipeline({})};
	EXPECT_EQ(value(providers, "cfg.pipeline.steps", data_store{collection, {}, {}}), "[]");
}

TEST(value_providers, unknown_modes_are_reported_as_bugs)
{
	auto const providers = stats::make_fixed_configuration_value_providers();
	auto collection = make_collection();
	collection.fixed.benchmark_mode = static_cast<configuration::benchmark_mode>(7);
	collection.fixed.batch_mode = static_cast<configuration::batch_mode>(3);
	data_store const store{collection, {}, {}};

	auto const mode = error_of([&] { (void)value(providers, "cfg.benchmark_mode", store); });
	EXPECT_EQ(mode.code(), KOVA_ERROR_INVALID_VALUE);
	EXPECT_STREQ(mode.what(), "[BUG] Unknown benchmark mode");
	EXPECT_STREQ(mode.function(), "stringify<kova::bench::configuration::benchmark_mode>");

	auto const batch = error_of([&] { (void)value(providers, "cfg.batch_mode", store); });
	EXPECT_STREQ(batch.what(), "[BUG] Unknown batch mode");
	EXPECT_STREQ(batch.function(), "stringify<kova::bench::configuration::batch_mode>");
}

TEST(value_providers, dynamic_configuration_texts)
{
	auto collection = make_collection(2);
	auto &second = collection.permutations[1];
	second.uniform_job_size = 4096;
	second.threads_per_core = 2;
	second.task_pool_size = 1024;
	second.data_provider_job_count = 64;
	second.gather_value = {2, utility::sg_split_type::count};
	second.scatter_value = {512, utility::sg_split_type::bytes_per_fragment};
	second.mtu_size = KOVA_MTU_SIZE_1K_BYTES;
	second.send_queue_size = 16;
	second.input_data_file = "data.bin";
	second.attributes = {{"zoption.mmo.log_qp_depth", "5"}};
	data_store const store{collection, {}, {}};
	auto const providers = stats::make_dynamic_configuration_value_providers();

	struct {
		const char *id;
		const char *first;
		const char *second;
	} const cases[] = {
		{"cfg.uniform_job_size", "", "4096"},
		{"cfg.core_count", "1", "2"},
		{"cfg.per_core_thread_count", "0", "2"},
		{"cfg.task_pool_size", "0", "1024"},
		{"cfg.data_provider_job_count", "0", "64"},
		{"cfg.gather_config", "0 fragments", "2 fragments"},
		{"cfg.scatter_config", "0 fragments", "One fragment per 512 bytes"},
		{"cfg.mtu-size", "", "1kiB"},
		{"cfg.send-queue-size", "", "16"},
		{"cfg.receive-queue-size", "", ""},
		{"cfg.data-provider-input-file", "", "data.bin"},
		{"cfg.attribute.mmo.log_qp_depth", "", "5"},
		{"cfg.attribute.mmo.log_num_qps", "", ""},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.id);
		EXPECT_EQ(value(providers, c.id, store, 0), c.first);
		EXPECT_EQ(value(providers, c.id, store, 1, thread_id{0}), c.second);
		auto const e = error_of([&] { (void)value(providers, c.id, store, 2); });
		EXPECT_EQ(e.code(), KOVA_ERROR_INVALID_VALUE);
		EXPECT_STREQ(e.what(), "[BUG] Tried to get stats for permutation 2 which exceeds permutation count: 2");
		EXPECT_STREQ(e.function(), "operator()");
	}
}

TEST(value_providers, permutation_statistics_for_aggregate_and_threads)
{
	data_store store{make_collection(3), {}, {}};
	auto a = make_thread(0, 1, 0, 1000, 134217728, 1s);
	a.step.dequeued_jobs = 999;
	a.step.egress_bytes = 201326592;
	a.max_output_buffer_size = 4096;
	auto const b = make_thread(1, 2, 0, 500, 0, 500ms);
	store.add_permutation_stats(make_permutation({a, b}));
	store.add_permutation_stats(make_permutation({make_thread(0, 1, 0, 7, 7, 0ns)}));
	auto const providers = stats::make_permutation_stats_value_providers();

	struct {
		const char *id;
		const char *aggregate;
		const char *thread1;
	} const cases[] = {
		{"stats.input.job_count", "1500", "500"},
		{"stats.output.job_count", "1499", "500"},
		{"stats.input.byte_count", "134217728", "0"},
		{"stats.output.byte_count", "201326592", "0"},
		{"stats.input.throughput.bytes", "001.000 Gib/s", "000.000 Gib/s"},
		{"stats.output.throughput.bytes", "001.500 Gib/s", "000.000 Gib/s"},
		{"stats.input.throughput.rate", "1500 Operations/s", "1000 Operations/s"},
		{"stats.output.throughput.rate", "1499 Operations/s", "1000 Operations/s"},
		{"cfg.data_provider.output_buffer_size", "4096", "0"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.id);
		EXPECT_EQ(value(providers, c.id, store, 0), c.aggregate);
		EXPECT_EQ(value(providers, c.id, store, 0, thread_id{1}), c.thread1);
		// A thread the permutation does not have gives an empty value.
		EXPECT_EQ(value(providers, c.id, store, 0, thread_id{5}), "");
	}

	// A zero duration gives zero rates.
	EXPECT_EQ(value(providers, "stats.input.throughput.bytes", store, 1), "000.000 Gib/s");
	EXPECT_EQ(value(providers, "stats.input.throughput.rate", store, 1), "0 Operations/s");

	// Configured but not completed: the data store refuses; beyond the configuration: a bug.
	auto const missing = error_of([&] { (void)value(providers, "stats.input.job_count", store, 2); });
	EXPECT_STREQ(missing.function(), "get_permutation_stats");
	auto const beyond = error_of([&] { (void)value(providers, "stats.input.job_count", store, 3); });
	EXPECT_STREQ(beyond.what(), "[BUG] Tried to get stats for permutation 3 which exceeds permutation count: 3");
}

TEST(value_providers, precision_latency_figures)
{
	auto const providers = stats::make_permutation_precision_latency_value_providers();
	auto run = [&](std::vector<uint64_t> samples, std::vector<uint64_t> thread_samples = {}) {
		data_store store{make_collection(), {}, {}};
		auto thread = make_thread(0, 1, 0, 1, 1, 1s);
		thread.step.latency_samples = thread_samples;
		auto stats = make_permutation({thread});
		stats.aggregate.step.latency_samples = std::move(samples);
		store.add_permutation_stats(stats);
		std::vector<std::string> aggregate;
		std::vector<std::string> per_thread;
		for (auto const &p : providers) {
			aggregate.push_back(p.getter(store, 0, {}));
			per_thread.push_back(p.getter(store, 0, thread_id{0}));
		}
		return std::make_pair(aggregate, per_thread);
	};
	using texts = std::vector<std::string>;

	EXPECT_EQ(run({}).first, texts(9, "---"));
	EXPECT_EQ(run({42}).first, texts(9, "42"));

	std::vector<uint64_t> ten(10);
	std::iota(ten.begin(), ten.end(), 1);
	EXPECT_EQ(run(ten).first, (texts{"1", "10", "6", "5", "10", "10", "10", "10", "10"}));

	std::vector<uint64_t> hundred(100);
	std::iota(hundred.begin(), hundred.end(), 0);
	EXPECT_EQ(run(hundred).first, (texts{"0", "99", "50", "49", "90", "95", "99", "99", "99"}));

	// Per-thread samples in recording order are read as if sorted.
	std::vector<uint64_t> shuffled{900, 100, 500, 300, 700, 200, 1000, 400, 800, 600};
	EXPECT_EQ(run({}, shuffled).second, (texts{"100", "1000", "600", "550", "1000", "1000", "1000", "1000", "1000"}));
}

TEST(value_providers, bulk_latency_bucket_i_reads_its_own_count)
{
	data_store store{make_collection(), {}, {}};
	auto thread = make_thread(0, 1, 0, 1, 1, 1s);
	thread.step.latency_histogram[0] = 10000;
	thread.step.latency_histogram[1] = 1000;
	for (std::size_t b = 0; b != step_stats::latency_bucket_count; ++b)
		thread.step.latency_histogram[step_stats::histogram_first_bucket_cell + b] = 100 + b;
	store.add_permutation_stats(make_permutation({thread}));
	auto const providers = stats::make_permutation_bulk_latency_value_providers();
	for (std::size_t b = 0; b != providers.size(); ++b) {
		EXPECT_EQ(providers[b].getter(store, 0, {}), std::to_string(100 + b)) << b;
		EXPECT_EQ(providers[b].getter(store, 0, thread_id{0}), std::to_string(100 + b)) << b;
	}
}

TEST(value_providers, environment_values)
{
	stats::environment_map const host{{"cpu.model", "x86"}, {"os", "linux"}};
	stats::environment_map const dpu{{"cpu.model", "arm"}};
	data_store const store{make_collection(), host, dpu};

	auto const dpu_providers = stats::make_environment_value_providers(dpu, true);
	auto const host_providers = stats::make_environment_value_providers(host, false);
	ASSERT_EQ(dpu_providers.size(), 1u);
	ASSERT_EQ(host_providers.size(), 2u);
	EXPECT_EQ(dpu_providers[0].flags, 4u);
	EXPECT_EQ(dpu_providers[0].getter(store, 0, {}), "arm");
	EXPECT_EQ(find(host_providers, "cpu.model").flags, 8u);
	EXPECT_EQ(find(host_providers, "cpu.model").getter(store, 0, {}), "x86");
	EXPECT_EQ(find(host_providers, "os").getter(store, 5, thread_id{1}), "linux");

	// Values are looked up in the data store's maps when called.
	data_store const other{make_collection(), {}, {{"cpu.model", "riscv"}}};
	EXPECT_EQ(dpu_providers[0].getter(other, 0, {}), "riscv");
	auto const missing_host = error_of([&] { (void)host_providers[0].getter(other, 0, {}); });
	EXPECT_EQ(std::string{missing_host.what()}, "[BUG] could not find HOST env value for : " + host_providers[0].id);
	auto const missing_dpu = error_of([&] { (void)dpu_providers[0].getter(data_store{make_collection(), {}, {}}, 0, {}); });
	EXPECT_STREQ(missing_dpu.what(), "[BUG] could not find DPU env value for : cpu.model");
	EXPECT_STREQ(missing_dpu.function(), "operator()");
}

TEST(value_providers, format_throughput)
{
	EXPECT_EQ(stats::format_throughput(201326592, 1s, utility::byte_unit::Gib), "001.500 Gib/s");
	EXPECT_EQ(stats::format_throughput(125000000000, 1s, utility::byte_unit::Gb), "1000.000 Gb/s");
	EXPECT_EQ(stats::format_throughput(1, 0ns, utility::byte_unit::Gib), "000.000 Gib/s");
}
