// Tests for make_configuration_from_cli_args: argv lists through the parser,
// the handlers, the builder and the sweep expansion.
#include "config/cli_args.hpp"
#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <kova/argp.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kova::bench {
namespace {

using configuration::batch_mode;
using configuration::benchmark_mode;
using test::configuration_from;
using utility::sg_configuration;
using utility::sg_split_type;

using args = std::vector<std::string>;

// The parser's state must be gone after every call of the driver.
void expect_parser_released()
{
	EXPECT_EQ(kova_argp_destroy(), KOVA_ERROR_BAD_STATE);
}

struct success_case {
	const char *label;
	args argv;
	std::function<void(const configuration_collection &)> check;
};

const std::vector<success_case> &success_cases()
{
	static const std::vector<success_case> cases = {
		{"no option: defaults and the documented defaults of the base permutation",
		 {},
		 [](const configuration_collection &c) {
			 ASSERT_EQ(c.permutations.size(), 1u);
			 const auto &p = c.permutations[0];
			 EXPECT_EQ(p.threads_per_core, 1u);
			 EXPECT_EQ(p.task_pool_size, 1024u);
			 EXPECT_EQ(p.gather_value, (sg_configuration{1, sg_split_type::count}));
			 EXPECT_EQ(p.scatter_value, (sg_configuration{1, sg_split_type::count}));
			 EXPECT_EQ(p.data_provider_job_count, 0u);
			 EXPECT_EQ(p.core_count, 1u);
			 EXPECT_FALSE(p.uniform_job_size.has_value());
			 EXPECT_TRUE(c.fixed.pipelines.empty());
			 EXPECT_FALSE(c.fixed.run_limits.max_execution_time.has_value());
			 EXPECT_FALSE(c.fixed.run_limits.max_jobs.has_value());
			 EXPECT_FALSE(c.fixed.run_limits.max_bytes.has_value());
			 EXPECT_EQ(c.fixed.core_set.cores, (std::vector<uint16_t>{1}));
			 EXPECT_EQ(c.fixed.data_provider.name, "random-data");
			 EXPECT_EQ(c.fixed.device, "");
			 EXPECT_FALSE(c.fixed.companion.connection_string.has_value());
			 EXPECT_TRUE(c.fixed.companion.core_set.cores.empty());
		 }},
		{"two sweeps: the last varies fastest",
		 {"--sweep", "core-count,1,2,+1", "--sweep", "uniform-job-size,64,128"},
		 [](const configuration_collection &c) {
			 ASSERT_EQ(c.permutations.size(), 4u);
			 std::vector<std::pair<uint32_t, uint32_t>> seen;
			 for (const auto &p : c.permutations)
				 seen.emplace_back(p.core_count, p.uniform_job_size.value());
			 EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, uint32_t>>{{1, 64}, {1, 128}, {2, 64}, {2, 128}}));
			 EXPECT_EQ(c.permutations[3].threads_per_core, 1u);
		 }},
		{"options reach the fixed configuration and the base permutation",
		 {"-A", "3b:00.0", "-R", "3b:00.1", "-G", "01:00.0", "-I", " file ", "-i", " in ", "--warm-up-jobs", "5",
		  "-t", "2", "--task-pool-size", "64", "--core-count", "1", "--uniform-job-size", "4096",
		  "--job-output-buffer-size", "8192", "--data-provider-job-count", "7", "--data-provider-input-file",
		  " data.bin ", "--send-queue-size", "16", "--receive-queue-size", "32", "--mtu-size", "1KB", "-J", "100",
		  "--rt-stats-interval", "250", "--query", "sweep-properties", "--record-cpu-usage", "--use-blocking-mode",
		  "--display-poll-result-ratio", "--csv-output-file", "out.csv", "--csv-stats", "a,-b,,c",
		  "--csv-separate-dynamic-values", "--csv-append-mode", "--enable-environment-information"},
		 [](const configuration_collection &c) {
			 const auto &f = c.fixed;
			 EXPECT_EQ(f.device, "3b:00.0");
			 EXPECT_EQ(f.representor.value(), "3b:00.1");
			 EXPECT_EQ(f.gpu.value(), "01:00.0");
			 EXPECT_EQ(f.data_provider.name, "file");
			 EXPECT_EQ(f.input_cwd.value(), "in");
			 EXPECT_EQ(f.warm_up_jobs, 5u);
			 EXPECT_EQ(f.run_limits.max_jobs.value(), 100u);
			 EXPECT_FALSE(f.run_limits.max_execution_time.has_value());
			 EXPECT_EQ(f.rt_stats_interval, 250u);
			 EXPECT_EQ(f.query.value(), "sweep-properties");
			 EXPECT_TRUE(f.record_cpu_usage && f.use_blocking_mode && f.stats.display_poll_result_ratio);
			 EXPECT_EQ(f.stats.csv.file_name.value(), "out.csv");
			 EXPECT_EQ(f.stats.csv.selected_stats, (std::vector<std::string>{"a", "c"}));
			 EXPECT_EQ(f.stats.csv.deselected_stats, (std::vector<std::string>{"b"}));
			 EXPECT_TRUE(f.stats.csv.separate_dynamic_values && f.stats.csv.append &&
				     f.stats.csv.collect_environment_information);
			 ASSERT_EQ(c.permutations.size(), 1u);
			 const auto &p = c.permutations[0];
			 EXPECT_EQ(p.threads_per_core, 2u);
			 EXPECT_EQ(p.task_pool_size, 64u);
			 EXPECT_EQ(p.core_count, 1u);
			 EXPECT_EQ(p.uniform_job_size.value(), 4096u);
			 EXPECT_EQ(p.job_output_buffer_size, 8192u);
			 EXPECT_EQ(p.data_provider_job_count, 7u);
			 EXPECT_EQ(p.input_data_file.value(), "data.bin");
			 EXPECT_EQ(p.send_queue_size.value(), 16u);
			 EXPECT_EQ(p.receive_queue_size.value(), 32u);
			 EXPECT_EQ(p.mtu_size.value(), KOVA_MTU_SIZE_1K_BYTES);
		 }},
		{"repeatable options reach their handlers in command-line order",
		 {"--pipeline-steps", "kova_dma", "--pipeline-steps", " kova_sha , kova_dma ", "--mode", "throughput",
		  "--mode", "bulk-latency", "-a", "k=1", "--attribute", " k = 2 ", "-a", "x=y"},
		 [](const configuration_collection &c) {
			 const auto &f = c.fixed;
			 ASSERT_EQ(f.pipelines.size(), 2u);
			 ASSERT_EQ(f.pipelines[1].steps.size(), 2u);
			 EXPECT_EQ(f.pipelines[0].steps[0].name, "kova_dma");
			 EXPECT_EQ(f.pipelines[1].steps[0].name, "kova_sha");
			 EXPECT_EQ(f.pipelines[1].steps[1].name, "kova_dma");
			 EXPECT_EQ(f.pipelines[0].latency_bucket_lower_ns, 10000u);
			 EXPECT_EQ(f.pipelines[0].latency_bucket_width_ns, 1000u);
			 EXPECT_EQ(f.benchmark_mode, benchmark_mode::bulk_latency);
			 EXPECT_EQ(f.attributes, (attribute_map{{"k", "2"}, {"x", "y"}}));
		 }},
		{"attribute values keep everything after the first '=' and lose only surrounding quotes",
		 {"-a", "a=b=c", "-a", "q=\"quoted value\"", "-a", "\"key\"=\"x", "-a", "empty="},
		 [](const configuration_collection &c) {
			 EXPECT_EQ(c.fixed.attributes, (attribute_map{{"a", "b=c"}, {"q", "quoted value"}, {"key", "\"x"},
								      {"empty", ""}}));
		 }},
		{"latency range, remote buffers and run-limit seconds reach every pipeline",
		 {"--pipeline-steps", "kova_dma", "--latency-bucket-range", "10us,1us", "--use-remote-input-buffers",
		  "--use-remote-output-buffers=false", "-s", "30"},
		 [](const configuration_collection &c) {
			 const auto &pipeline = c.fixed.pipelines.at(0);
			 EXPECT_EQ(pipeline.latency_bucket_lower_ns, 10000u);
			 EXPECT_EQ(pipeline.latency_bucket_width_ns, 1000u);
			 EXPECT_TRUE(pipeline.use_remote_input_buffers);
			 EXPECT_FALSE(pipeline.use_remote_output_buffers);
			 EXPECT_EQ(c.fixed.run_limits.max_execution_time.value(), std::chrono::seconds{30});
		 }},
		{"latency range in milliseconds and a unit-less width",
		 {"--pipeline-steps", "kova_dma", "--latency-bucket-range", "ms,1ns"},
		 [](const configuration_collection &c) {
			 EXPECT_EQ(c.fixed.pipelines.at(0).latency_bucket_lower_ns, 0u);
			 EXPECT_EQ(c.fixed.pipelines.at(0).latency_bucket_width_ns, 1u);
		 }},
		{"gather and scatter values: counts and bytes per fragment",
		 {"--gather-value", "8KiB", "--scatter-value", "16b", "-b", "1000"},
		 [](const configuration_collection &c) {
			 EXPECT_EQ(c.permutations[0].gather_value, (sg_configuration{8192, sg_split_type::bytes_per_fragment}));
			 EXPECT_EQ(c.permutations[0].scatter_value, (sg_configuration{2, sg_split_type::bytes_per_fragment}));
			 EXPECT_EQ(c.fixed.run_limits.max_bytes.value(), 1000u);
		 }},
		{"a plain scatter value is replaced by its sweep",
		 {"--scatter-value", "4", "--sweep", "scatter-value,1KiB,4KiB,*2"},
		 [](const configuration_collection &c) {
			 ASSERT_EQ(c.permutations.size(), 3u);
			 EXPECT_EQ(c.permutations[0].scatter_value, (sg_configuration{1024, sg_split_type::bytes_per_fragment}));
			 EXPECT_EQ(c.permutations[2].scatter_value, (sg_configuration{4096, sg_split_type::bytes_per_fragment}));
		 }},
		{"a tcp connection string gives protocol 2 and its port",
		 {"--companion-connection-string", "proto=tcp,port=12345,addr=127.0.0.1,dev=3b:00.0", "--companion-core-list",
		  "2-3"},
		 [](const configuration_collection &c) {
			 const auto &companion = c.fixed.companion;
			 EXPECT_EQ(companion.protocol, 2u);
			 EXPECT_EQ(companion.port.value(), 12345u);
			 EXPECT_EQ(companion.address.value(), "127.0.0.1");
			 EXPECT_EQ(companion.remote_address.value(), "127.0.0.1");
			 EXPECT_EQ(companion.device, "3b:00.0");
			 EXPECT_EQ(companion.connection_string.value(), "proto=tcp,port=12345,addr=127.0.0.1,dev=3b:00.0");
			 EXPECT_EQ(companion.core_set.cores, (std::vector<uint16_t>{2, 3}));
		 }},
		{"core list and companion core mask",
		 {"--core-list", "3,1-2", "--companion-core-mask", "0x5"},
		 [](const configuration_collection &c) {
			 EXPECT_EQ(c.fixed.core_set.cores, (std::vector<uint16_t>{3, 1, 2}));
			 EXPECT_EQ(c.permutations[0].core_count, 3u);
			 EXPECT_EQ(c.fixed.companion.core_set.cores, (std::vector<uint16_t>{0, 2}));
		 }},
		{"core mask", {"-c", "0x6"}, [](const configuration_collection &c) {
			 EXPECT_EQ(c.fixed.core_set.cores, (std::vector<uint16_t>{1, 2}));
		 }},
		{"swept step attributes reach the permutation under their keys, by key or by leaf name",
		 {"--sweep", "kova_rdma.transport-type,rc,ud", "--sweep", "log_qp_depth,4,6,+1", "--sweep",
		  "zoption.mmo.log_num_qps,1,2", "--sweep", "gid-index,0,1", "-a", "kova_sha.algorithm=sha256"},
		 [](const configuration_collection &c) {
			 ASSERT_EQ(c.permutations.size(), 24u);
			 EXPECT_EQ(c.permutations[0].attributes,
				   (attribute_map{{"kova_rdma.transport-type", "rc"}, {"zoption.mmo.log_qp_depth", "4"},
						  {"zoption.mmo.log_num_qps", "1"}, {"kova_rdma.gid-index", "0"}}));
			 EXPECT_EQ(c.permutations[23].attributes,
				   (attribute_map{{"kova_rdma.transport-type", "ud"}, {"zoption.mmo.log_qp_depth", "6"},
						  {"zoption.mmo.log_num_qps", "2"}, {"kova_rdma.gid-index", "1"}}));
			 EXPECT_EQ(c.fixed.attributes, (attribute_map{{"kova_sha.algorithm", "sha256"}}));
		 }},
		{"mtu sizes and input files are swept by word",
		 {"--sweep", "mtu-size,1KB,4KB", "--sweep", "data-provider-input-file,a.bin,b.bin"},
		 [](const configuration_collection &c) {
			 ASSERT_EQ(c.permutations.size(), 4u);
			 EXPECT_EQ(c.permutations[0].mtu_size.value(), KOVA_MTU_SIZE_1K_BYTES);
			 EXPECT_EQ(c.permutations[0].input_data_file.value(), "a.bin");
			 EXPECT_EQ(c.permutations[3].mtu_size.value(), KOVA_MTU_SIZE_4K_BYTES);
			 EXPECT_EQ(c.permutations[3].input_data_file.value(), "b.bin");
		 }},
		{"every other sweepable option",
		 {"--sweep", "threads-per-core,1,2", "--sweep", "task-pool-size,10,20,+10", "--sweep",
		  "data-provider-job-count,3,4", "--sweep", "gather-value,4,8", "--sweep", "send-queue-size,8,16,*2",
		  "--sweep", "receive-queue-size,0x10,020"},
		 [](const configuration_collection &c) {
			 ASSERT_EQ(c.permutations.size(), 64u);
			 const auto &last = c.permutations.back();
			 EXPECT_EQ(last.threads_per_core, 2u);
			 EXPECT_EQ(last.task_pool_size, 20u);
			 EXPECT_EQ(last.data_provider_job_count, 4u);
			 EXPECT_EQ(last.gather_value, (sg_configuration{8, sg_split_type::count}));
			 EXPECT_EQ(last.send_queue_size.value(), 16u);
			 EXPECT_EQ(last.receive_queue_size.value(), 16u);
		 }},
		{"large sweep values are not negative",
		 {"--sweep", "uniform-job-size,1,3000000000,+1000000000"},
		 [](const configuration_collection &c) {
			 ASSERT_EQ(c.permutations.size(), 3u);
			 EXPECT_EQ(c.permutations[2].uniform_job_size.value(), 2000000001u);
		 }},
		{"a range may end at the largest 32-bit value",
		 {"--sweep", "uniform-job-size,1,4294967295,*65536"},
		 [](const configuration_collection &c) {
			 ASSERT_EQ(c.permutations.size(), 2u);
			 EXPECT_EQ(c.permutations[1].uniform_job_size.value(), 65536u);
		 }},
		{"batch mode with DMA and SHA steps", {"--batch-mode", "batch-submit", "--batch-size", "4", "--pipeline-steps",
							 "kova_dma,kova_sha"},
		 [](const configuration_collection &c) {
			 EXPECT_EQ(c.fixed.batch_mode, batch_mode::batch_submit);
			 EXPECT_EQ(c.fixed.batch_size, 4u);
		 }},
		{"max-bandwidth mode", {"--mode", "max-bandwidth"}, [](const configuration_collection &c) {
			 EXPECT_EQ(c.fixed.benchmark_mode, benchmark_mode::max_bandwidth);
		 }},
		{"a tessel step alone on one core with a GPU; a later tessel step is not checked",
		 {"--pipeline-steps", "kova_tessel::nop", "-G", "01:00.0", "--pipeline-steps", "kova_dma,kova_tessel::rdma"},
		 [](const configuration_collection &c) { EXPECT_EQ(c.fixed.pipelines.size(), 2u); }},
	};
	return cases;
}

TEST(make_configuration_from_cli_args, builds_the_configuration_of_valid_command_lines)
{
	for (const auto &c : success_cases()) {
		SCOPED_TRACE(c.label);
		try {
			configuration_collection const config = configuration_from(c.argv);
			c.check(config);
		} catch (const kova::exception &error) {
			ADD_FAILURE() << "threw " << error.code() << ": " << error.what();
		}
		expect_parser_released();
	}
}

struct failure_case {
	args argv;
	kova_error code;
	std::string message;
};

// In the order of the builder's checks where one command line breaks several.
const std::vector<failure_case> &failure_cases()
{
	static const std::vector<failure_case> cases = {
		// Parser and handlers.
		{{"-o", "x"}, KOVA_ERROR_NOT_SUPPORTED, "-o --output-cwd is not yet supported"},
		{{"--mode", "fast"}, KOVA_ERROR_INVALID_VALUE, "Failed to parse cli arguments"},
		{{"--mode", "Throughput"}, KOVA_ERROR_INVALID_VALUE, "Failed to parse cli arguments"},
		{{"--batch-mode", "all"}, KOVA_ERROR_INVALID_VALUE, "Failed to parse cli arguments"},
		{{"--bogus"}, KOVA_ERROR_INVALID_VALUE, "Failed to parse cli arguments"},
		{{"--core-count", "many"}, KOVA_ERROR_INVALID_VALUE, "Failed to parse cli arguments"},
		{{"--core-count"}, KOVA_ERROR_INVALID_VALUE, "Failed to parse cli arguments"},
		{{"-A", "a", "-A", "b"}, KOVA_ERROR_INVALID_VALUE, "Failed to parse cli arguments"},
		{{"positional"}, KOVA_ERROR_INVALID_VALUE, "Failed to parse cli arguments"},
		{{"--core-count", "-1"}, KOVA_ERROR_INVALID_VALUE, "Invalid value for core-count. Value may not be negative"},
		{{"--companion-core-mask", "-1"}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid value for companion-core-mask. Value may not be negative"},
		{{"--companion-core-list", "-3"}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid value for companion-core-list. Value may not be negative"},
		{{"--rt-stats-interval", "-1"}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid value for rt-stats-interval. Value may not be negative"},
		{{"--batch-size", "0"}, KOVA_ERROR_INVALID_VALUE, "Invalid value for batch-size. Value must be >= 1"},
		{{"-a", "novalue"}, KOVA_ERROR_INVALID_VALUE, "Invalid input"},
		{{"--mtu-size", "1024"}, KOVA_ERROR_INVALID_VALUE, "Invalid mtu size: 1024"},
		{{"--mtu-size", "-1KB"}, KOVA_ERROR_INVALID_VALUE, "Invalid value for mtu-size. Value may not be negative"},
		{{"--gather-value", "8 KiB"}, KOVA_ERROR_INVALID_VALUE, "Unknown byte unit: \" KiB\""},
		{{"--gather-value", "-8"}, KOVA_ERROR_INVALID_VALUE, "Invalid value for gather-value. Value may not be negative"},
		{{"--scatter-value", "4GiB"}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid value for scatter-value. Value is too large: \"4GiB\""},
		{{"--scatter-value", "4294967296"}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid value for scatter-value. Value is too large: \"4294967296\""},
		{{"--scatter-value", "99999999999999999999"}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid value for scatter-value. Value is too large: \"99999999999999999999\""},
		{{"--latency-bucket-range", "10ms"}, KOVA_ERROR_INVALID_VALUE, "Invalid latency bucket range"},
		{{"--latency-bucket-range", "10 us,1us"}, KOVA_ERROR_INVALID_VALUE, "Invalid latency bucket range"},
		{{"--latency-bucket-range", "10xs,1us"}, KOVA_ERROR_INVALID_VALUE, "Invalid latency bucket range"},
		{{"--latency-bucket-range", "10u"}, KOVA_ERROR_INVALID_VALUE, "Invalid latency bucket range"},
		{{"--latency-bucket-range", "10us,1u"}, KOVA_ERROR_INVALID_VALUE, "Invalid latency bucket range"},
		{{"--latency-bucket-range", "1ms,0ns"}, KOVA_ERROR_INVALID_VALUE, "Invalid latency bucket range"},
		{{"--latency-bucket-range", "18446744073709551615ms,1ns"}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid latency bucket range"},
		{{"--latency-bucket-range", "99999999999999999999ns,1ns"}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid latency bucket range"},
		{{"--latency-bucket-range", "0ns,184467440737095517ns"}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid latency bucket range"},
		{{"--latency-bucket-range", "-5ms,1ms"}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid value for latency-bucket-range. Value may not be negative"},
		{{"--latency-bucket-range", "5ms,-1ms"}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid value for latency-bucket-range. Value may not be negative"},
		// Sweeps.
		{{"--sweep", "core-count,1,2,+0"}, KOVA_ERROR_INVALID_VALUE, "Invalid sweep increment: +0"},
		{{"--sweep", "core-count,1,8,*0"}, KOVA_ERROR_INVALID_VALUE, "Invalid sweep increment: *0"},
		{{"--sweep", "core-count,1,8,*1"}, KOVA_ERROR_INVALID_VALUE, "Invalid sweep increment: *1"},
		{{"--sweep", "core-count,0,8,*2"}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid sweep start value: 0, a range of *2 cannot start from 0"},
		{{"--sweep", "task-pool-size,0x0,4,*2"}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid sweep start value: 0x0, a range of *2 cannot start from 0"},
		{{"--sweep", "uniform-job-size,1KiB,4GiB,*2"}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid value for sweep uniform-job-size. Value is too large: \"4GiB\""},
		{{"--sweep", "uniform-job-size,1,2,3,99999999999"}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid value for sweep uniform-job-size. Value is too large: \"99999999999\""},
		{{"--sweep", "core-count,0,4294967295,+1"}, KOVA_ERROR_INVALID_VALUE,
		 "Too many sweep values: 4294967296 (at most 2147483647)"},
		{{"--sweep", "core-count,1,65536,+1", "--sweep", "uniform-job-size,1,65536,+1"}, KOVA_ERROR_INVALID_VALUE,
		 "Too many sweep permutations: more than 2147483647"},
		// Below the count limit but far beyond any machine's memory.
		{{"--sweep", "core-count,1,46340,+1", "--sweep", "uniform-job-size,1,46340,+1"}, KOVA_ERROR_NO_MEMORY,
		 "Too many sweep permutations: 2147395600 do not fit in this machine's memory"},
		// A '+' typed for '*': counted, not built.
		{{"--sweep", "uniform-job-size,1,2000000000,+1"}, KOVA_ERROR_NO_MEMORY,
		 "Too many sweep permutations: 2000000000 do not fit in this machine's memory"},
		{{"--sweep", "core-mask,1,2"}, KOVA_ERROR_INVALID_VALUE, "Unknown sweep property: core-mask"},
		{{"--sweep", "nothing,1,2,+1"}, KOVA_ERROR_INVALID_VALUE, "Unknown sweep property: nothing"},
		{{"--sweep", "nothing,1,2"}, KOVA_ERROR_INVALID_VALUE, "Invalid property name : \"nothing\""},
		{{"--sweep", "mtu-size,1KB,3KB"}, KOVA_ERROR_INVALID_VALUE, "Invalid mtu size: 3KB"},
		{{"--sweep", "data-provider-input-file,1,3,+1"}, KOVA_ERROR_INVALID_VALUE,
		 "Invalid sweep definition, data-provider-input-file takes a list of values"},
		// Builder, in the order of its checks.
		{{"--uniform-job-size", "4096", "--sweep", "uniform-job-size,1024,2048", "-s", "1", "-J", "1"},
		 KOVA_ERROR_INVALID_VALUE, "uniform-job-size may not be specified when also performing a sweep test of that parameter"},
		{{"--core-count", "2", "--sweep", "core-count,1,2"}, KOVA_ERROR_INVALID_VALUE,
		 "core-count may not be specified when also performing a sweep test of that parameter"},
		{{"-t", "2", "--sweep", "threads-per-core,1,2"}, KOVA_ERROR_INVALID_VALUE,
		 "threads-per-core may not be specified when also performing a sweep test of that parameter"},
		{{"--task-pool-size", "2", "--sweep", "task-pool-size,1,2"}, KOVA_ERROR_INVALID_VALUE,
		 "task-pool-size may not be specified when also performing a sweep test of that parameter"},
		{{"--gather-value", "2", "--sweep", "gather-value,1,2"}, KOVA_ERROR_INVALID_VALUE,
		 "gather-value may not be specified when also performing a sweep test of that parameter"},
		{{"-a", "zoption.mmo.log_num_qps=2", "--sweep", "log_num_qps,1,2"}, KOVA_ERROR_INVALID_VALUE,
		 "zoption.mmo.log_num_qps may not be specified when also performing a sweep test of that attribute"},
		{{"-a", "zoption.mmo.log_qp_depth=2", "--sweep", "zoption.mmo.log_qp_depth,1,2"}, KOVA_ERROR_INVALID_VALUE,
		 "zoption.mmo.log_qp_depth may not be specified when also performing a sweep test of that attribute"},
		{{"-a", "kova_rdma.transport-type=rc", "--sweep", "transport-type,rc,ud"}, KOVA_ERROR_INVALID_VALUE,
		 "kova_rdma.transport-type may not be specified when also performing a sweep test of that attribute"},
		{{"-a", "kova_rdma.transport-type=rc", "--sweep", "kova_rdma.transport-type,rc,ud"}, KOVA_ERROR_INVALID_VALUE,
		 "kova_rdma.transport-type may not be specified when also performing a sweep test of that attribute"},
		{{"--mtu-size", "1KB", "--sweep", "mtu-size,1KB,2KB"}, KOVA_ERROR_INVALID_VALUE,
		 "mtu-size may not be specified when also performing a sweep test of that parameter"},
		{{"-a", "kova_rdma.gid-index=1", "--sweep", "gid-index,1,2"}, KOVA_ERROR_INVALID_VALUE,
		 "kova_rdma.gid-index may not be specified when also performing a sweep test of that attribute"},
		{{"--send-queue-size", "2", "--sweep", "send-queue-size,1,2"}, KOVA_ERROR_INVALID_VALUE,
		 "send-queue-size may not be specified when also performing a sweep test of that parameter"},
		{{"--receive-queue-size", "2", "--sweep", "receive-queue-size,1,2"}, KOVA_ERROR_INVALID_VALUE,
		 "receive-queue-size may not be specified when also performing a sweep test of that parameter"},
		{{"--data-provider-input-file", "a", "--sweep", "data-provider-input-file,a,b"}, KOVA_ERROR_INVALID_VALUE,
		 "data-provider-input-file may not be specified when also performing a sweep test of that parameter"},
		{{"-s", "1", "-J", "2"}, KOVA_ERROR_INVALID_VALUE,
		 "Run limits are mutually exclusive, at most 1 can be provided at a time"},
		{{"-b", "1", "-J", "2", "--companion-connection-string", "bad"}, KOVA_ERROR_INVALID_VALUE,
		 "Run limits are mutually exclusive, at most 1 can be provided at a time"},
		{{"--companion-connection-string", "proto=tcp,addr=127.0.0.1,dev=3b:00.0", "-c", "1", "--core-list", "1"},
		 KOVA_ERROR_INVALID_VALUE, "Invalid connection string, port not specified"},
		{{"--companion-core-mask", "1", "--companion-core-list", "1", "-c", "1", "--core-list", "1"},
		 KOVA_ERROR_INVALID_VALUE, "Cannot specify both companion-core-mask and companion-core-list"},
		{{"--companion-core-list", "6-1"}, KOVA_ERROR_INVALID_VALUE, "Invalid range: \"6-1\""},
		{{"-c", "1", "--core-list", "1"}, KOVA_ERROR_INVALID_VALUE, "Cannot specify both core-mask and core-list"},
		{{"--core-list", "abc"}, KOVA_ERROR_INVALID_VALUE, "Invalid number: \"abc\""},
		// Pipelines: tessel checks in their order, then eth, then batch mode.
		{{"--pipeline-steps", "kova_tessel::eth_rx,kova_dma", "--core-list", "1-2"}, KOVA_ERROR_INVALID_VALUE,
		 "Multiple steps with KOVA Tessel is not supported"},
		{{"--pipeline-steps", "kova_tessel::eth_rx", "--core-list", "1-2"}, KOVA_ERROR_INVALID_VALUE,
		 "Multi-core/threaded KOVA Tessel is not supported"},
		{{"--pipeline-steps", "kova_tessel::eth_rx", "--companion-core-list", "1-2"}, KOVA_ERROR_INVALID_VALUE,
		 "Multi-core/threaded KOVA Tessel is not supported"},
		{{"--pipeline-steps", "kova_tessel::eth_rx", "-t", "2"}, KOVA_ERROR_INVALID_VALUE,
		 "Multi-core/threaded KOVA Tessel is not supported"},
		{{"--pipeline-steps", "kova_tessel::nop", "--gather-value", "2"}, KOVA_ERROR_INVALID_VALUE,
		 "A GPU must be provided for kova_tessel."},
		{{"--pipeline-steps", "kova_tessel::nop", "-G", "01:00.0", "--scatter-value", "2",
		  "--use-remote-input-buffers"},
		 KOVA_ERROR_INVALID_VALUE, "Scatter/Gather is not supported for KOVA Tessel."},
		{{"--pipeline-steps", "kova_tessel::nop", "-G", "01:00.0", "--use-remote-output-buffers=false"},
		 KOVA_ERROR_INVALID_VALUE, "Remote input/output buffers are not supported for KOVA Tessel."},
		{{"--pipeline-steps", "kova_eth::tx", "-t", "2", "--batch-mode", "batch-submit"}, KOVA_ERROR_INVALID_VALUE,
		 "Multi-core/threaded KOVA Eth Rx not currently supported"},
		{{"--pipeline-steps", "kova_eth::rx", "--core-list", "1,2"}, KOVA_ERROR_INVALID_VALUE,
		 "Multi-core/threaded KOVA Eth Rx not currently supported"},
		{{"--pipeline-steps", "kova_dma,kova_eth::rx", "--batch-mode", "batch-submit"}, KOVA_ERROR_INVALID_VALUE,
		 "Batch mode not currently supported for this step type"},
	};
	return cases;
}

TEST(make_configuration_from_cli_args, refuses_bad_command_lines_with_the_code_and_message_of_the_first_fault)
{
	for (const auto &c : failure_cases()) {
		SCOPED_TRACE(::testing::PrintToString(c.argv));
		::testing::internal::CaptureStderr();
		EXPECT_KOVA_THROW(configuration_from(c.argv), c.code, c.message);
		::testing::internal::GetCapturedStderr();
		expect_parser_released();
	}
}

TEST(make_configuration_from_cli_args, errors_name_the_function_that_reports_them)
{
	struct function_case {
		std::vector<std::string> argv;
		const char *function;
	};
	std::vector<function_case> const cases{
		{{"--task-pool-size", "2", "--sweep", "task-pool-size,1,2"}, "throw_if_value_is_provided_and_sweeped"},
		{{"--mtu-size", "1KB", "--sweep", "mtu-size,1KB,2KB"}, "throw_if_value_is_provided_and_sweeped"},
		{{"-a", "zoption.mmo.log_num_qps=2", "--sweep", "log_num_qps,1,2"}, "throw_if_value_is_provided_and_sweeped"},
		{{"--pipeline-steps", "kova_tessel::eth_rx,kova_dma", "--core-list", "1-2"},
		 "configuration_from_config_params"},
		{{"--pipeline-steps", "kova_tessel::nop", "-G", "01:00.0", "--use-remote-output-buffers=false"},
		 "configuration_from_config_params"},
		{{"--pipeline-steps", "kova_dma,kova_eth::rx", "--batch-mode", "batch-submit"},
		 "configuration_from_config_params"},
		{{"--sweep", "core-count,-1,4,+1"}, "throw_if_value_is_negative"},
		{{"--sweep", "core-count,1,4,-1"}, "throw_if_value_is_negative"},
		{{"--sweep", "core-count,0,8,*2"}, "sweep_definition_from_string"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(::testing::PrintToString(c.argv));
		::testing::internal::CaptureStderr();
		kova::exception const e = kova::test::thrown_by([&] { configuration_from(c.argv); });
		::testing::internal::GetCapturedStderr();
		EXPECT_STREQ(e.function(), c.function);
	}
}

TEST(make_configuration_from_cli_args, a_parser_rejection_is_explained_on_stderr)
{
	::testing::internal::CaptureStderr();
	EXPECT_THROW(configuration_from({"--mode", "fast"}), kova::exception);
	EXPECT_EQ(::testing::internal::GetCapturedStderr(),
		  "kova_bench: option '--mode' refused the value 'fast': Invalid input\n");
	::testing::internal::CaptureStderr();
	EXPECT_THROW(configuration_from({"--run-limit-seconds"}), kova::exception);
	EXPECT_EQ(::testing::internal::GetCapturedStderr(), "kova_bench: option '--run-limit-seconds' requires a value\n");
}

TEST(make_configuration_from_cli_args, can_be_called_again_after_any_outcome)
{
	EXPECT_THROW(configuration_from({"-o", "x"}), kova::exception);
	EXPECT_NO_THROW(configuration_from({"-s", "1"}));
	EXPECT_THROW(configuration_from({"-s", "1", "-J", "1"}), kova::exception);
	ASSERT_EQ(kova_argp_init(nullptr, nullptr), KOVA_SUCCESS);
	EXPECT_EQ(kova_argp_destroy(), KOVA_SUCCESS);
	EXPECT_EQ(configuration_from({"-s", "2"}).fixed.run_limits.max_execution_time.value(), std::chrono::seconds{2});
}

TEST(make_configuration_from_cli_args, fails_without_touching_a_parser_that_exists_already)
{
	ASSERT_EQ(kova_argp_init(nullptr, nullptr), KOVA_SUCCESS);
	EXPECT_KOVA_THROW(configuration_from({}), KOVA_ERROR_IN_USE, "Failed to create arg parser");
	EXPECT_EQ(kova_argp_destroy(), KOVA_SUCCESS);
}

} // namespace
} // namespace kova::bench
