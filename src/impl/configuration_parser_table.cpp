// The option table of kova_bench: one row per command-line option, with its
// help text, in table order.
#include "impl/configuration_parser.hpp"

namespace kova::bench::impl {

namespace {

using utility::cfg_value_type;
using utility::configuration_options_group;

constexpr uint8_t not_mandatory = 0;
constexpr uint8_t single = 0;
constexpr uint8_t repeatable = 1;
constexpr uint8_t not_sweepable = 0;
constexpr uint8_t sweepable = 1;

} // namespace

const std::array<utility::configuration_property, option_count> option_table{{
	{45, "core-mask", &configuration_options_group, cfg_value_type::integer, "c",
		"Hexadecimal core mask specifying which cores to use for data path activities (default: 0x1)",
		not_mandatory, single, not_sweepable},
	{57, "core-list", &configuration_options_group, cfg_value_type::string, nullptr,
		"List of cores to use for data path activities. EG 1-6,9,0xF",
		not_mandatory, single, not_sweepable},
	{69, "core-count", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Specify the maximum number of cores to use",
		not_mandatory, single, sweepable},
	{81, "threads-per-core", &configuration_options_group, cfg_value_type::integer, "t",
		"Specify the number of data path execution threads to run on each core (default: 1)",
		not_mandatory, single, sweepable},
	{93, "pipeline-steps", &configuration_options_group, cfg_value_type::string, nullptr,
		"Provide a comma separated list of step names that defines the data path pipeline steps",
		not_mandatory, repeatable, not_sweepable},
	{105, "attribute", &configuration_options_group, cfg_value_type::string, "a",
		"Specify an attribute which can be substituted into any config file",
		not_mandatory, repeatable, not_sweepable},
	{141, "uniform-job-size", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Specify the size of job that will be produced by a uniform data provider. Not applicable for all data providers",
		not_mandatory, single, sweepable},
	{153, "job-output-buffer-size", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Some steps will create a new data from their input, the size of this data is non deterministic and must be determined by\n"
		"                                    the user. Default 16KiB",
		not_mandatory, single, not_sweepable},
	{166, "warm-up-jobs", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Specify the number of jobs to discard at the start of the benchmark to warm up caches before measuring performance",
		not_mandatory, single, not_sweepable},
	{178, "task-pool-size", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Specify the size of task pools used on the data path (default: 1024)",
		not_mandatory, single, sweepable},
	{190, "data-provider", &configuration_options_group, cfg_value_type::string, "I",
		"Specify the input data provider to use",
		not_mandatory, single, not_sweepable},
	{202, "data-provider-input-file", &configuration_options_group, cfg_value_type::string, nullptr,
		"Specify a file which a data provider can use to produce job data",
		not_mandatory, single, not_sweepable},
	{214, "data-provider-job-count", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Specify the number of jobs the data provider should produce. Each working thread will get a unique copy of these jobs",
		not_mandatory, single, sweepable},
	{226, "input-cwd", &configuration_options_group, cfg_value_type::string, "i",
		"Specify the path to use as the current working directory when loading files from disk",
		not_mandatory, single, not_sweepable},
	{238, "output-cwd", &configuration_options_group, cfg_value_type::string, "o",
		"Specify the path to use as the current working directory when saving files to disk",
		not_mandatory, single, not_sweepable},
	{250, "latency-bucket-range", &configuration_options_group, cfg_value_type::string, nullptr,
		"<lower_bound><unit>,<bucket_width><unit> Lower bound and bucket width for latency measurements (default 1ms,10ms)\n"
		"                                      <lower_bound>     Start value for latency buckets, all values less than this value will go to the lowest bucket\n"
		"                                      <bucket_width>    Width of each bucket\n"
		"                                      <unit>            ms, us or ns for milliseconds, microseconds and nanoseconds respectively\n"
		"                                    All parts must be specified together including the comma separator and not contain any whitespace.",
		not_mandatory, single, not_sweepable},
	{266, "run-limit-seconds", &configuration_options_group, cfg_value_type::integer, "s",
		"Terminate execution after N seconds",
		not_mandatory, single, not_sweepable},
	{278, "run-limit-jobs", &configuration_options_group, cfg_value_type::integer, "J",
		"Terminate execution after N jobs",
		not_mandatory, single, not_sweepable},
	{290, "run-limit-bytes", &configuration_options_group, cfg_value_type::integer, "b",
		"Terminate execution after N bytes",
		not_mandatory, single, not_sweepable},
	{302, "use-remote-input-buffers", &configuration_options_group, cfg_value_type::boolean, nullptr,
		"Use remote memory as the source for input buffers",
		not_mandatory, single, not_sweepable},
	{314, "use-remote-output-buffers", &configuration_options_group, cfg_value_type::boolean, nullptr,
		"Use remote memory as the destination for output buffers",
		not_mandatory, single, not_sweepable},
	{326, "mode", &configuration_options_group, cfg_value_type::string, nullptr,
		"Set the benchmark mode. Can be one of: throughput, bulk-latency, precision-latency (default: throughput)",
		not_mandatory, repeatable, not_sweepable},
	{338, "sweep", &configuration_options_group, cfg_value_type::string, nullptr,
		"<property-name>,<initial_value><unit>,<final_value><unit>,<increment_type><increment_value><unit> Repeat the benchmark for\n"
		"                                    each value in a given range of values. Value is increased at the end of each run so the normal run limits can be used to\n"
		"                                    control how long each sub test takes\n"
		"                                      <property-name>    Name of the property to sweep. Use --query sweep-properties to get a detailed list of sweep enabled\n"
		"                                                         properties\n"
		"                                      <initial_value>    First value to use for the sweep test\n"
		"                                      <unit>             Optional scaling unit such as k|KiB|m|MeB|g|GiB to specify kilobytes, kibibytes, megabytes, mebibytes,\n"
		"                                                         gigabytes or gibibytes\n"
		"                                      <final_value>      Maximum value to use for the sweep test (inclusive, as long as initial_value increased by increment\n"
		"                                                         produces this value)\n"
		"                                      <unit>             Optional scaling unit such as k|KiB|m|MeB|g|GiB to specify kilobytes, kibibytes, megabytes, mebibytes,\n"
		"                                                         gigabytes or gibibytes\n"
		"                                      <increment_type>   How should the value be incremented supported values are + and * meaning add the increment value or\n"
		"                                                         multiply by the increment value\n"
		"                                      <increment_value>  How much to increment the sweeped value by between each iteration\n"
		"                                      <unit>             Optional scaling unit such as k|KiB|m|MeB|g|GiB to specify kilobytes, kibibytes, megabytes, mebibytes,\n"
		"                                                         gigabytes or gibibytes",
		not_mandatory, repeatable, not_sweepable},
	{366, "csv-output-file", &configuration_options_group, cfg_value_type::string, nullptr,
		"Provide a filename to enable the stats to be emitted into a CSV file.",
		not_mandatory, single, not_sweepable},
	{378, "csv-stats", &configuration_options_group, cfg_value_type::string, nullptr,
		"A comma separated list of stats names to include in the csv output, wild cards are supported to select groups of stats,\n"
		"                                    negations are allowed to omit specific stats",
		not_mandatory, single, not_sweepable},
	{391, "csv-separate-dynamic-values", &configuration_options_group, cfg_value_type::boolean, nullptr,
		"Create a non standard CSV which separates the fixed configuration values that do not change per permutation into a\n"
		"                                    distinct block at the top of the file",
		not_mandatory, single, not_sweepable},
	{404, "gather-value", &configuration_options_group, cfg_value_type::string, nullptr,
		"<value><unit> Gather value for buffer split, optional unit\n"
		"                                      <value>    Gather value for buffer split\n"
		"                                      <unit>     KB, MB or B for kilobytes, megabytes and bytes respectively",
		not_mandatory, single, sweepable},
	{418, "scatter-value", &configuration_options_group, cfg_value_type::string, nullptr,
		"<value><unit> Scatter value for buffer split, optional unit\n"
		"                                      <value>    Scatter value for buffer split\n"
		"                                      <unit>     KB, MB or B for kilobytes, megabytes and bytes respectively",
		not_mandatory, single, sweepable},
	{432, "mtu-size", &configuration_options_group, cfg_value_type::string, nullptr,
		"The mtu size type. Valid values are: 256B, 512B, 1KB, 2KB, 4KB, raw_eth.",
		not_mandatory, single, sweepable},
	{444, "send-queue-size", &configuration_options_group, cfg_value_type::integer, nullptr,
		"The size of the send queue.",
		not_mandatory, single, sweepable},
	{456, "receive-queue-size", &configuration_options_group, cfg_value_type::integer, nullptr,
		"The size of the receive queue.",
		not_mandatory, single, sweepable},
	{468, "companion-connection-string", &configuration_options_group, cfg_value_type::string, nullptr,
		"Specify all the values required to connect to the companion in argument. Examples:\n"
		"                                      proto=tcp,port=12345,addr=172.17.0.1,dev=3b:00.0\n"
		"                                      proto=qrv,mode=dpu,user=root,addr=172.17.0.1,dev=03:00.0,rep=3b:00.0\n"
		"                                      proto=qrv,mode=host,user=root,addr=172.17.0.1,dev=3b:00.0",
		not_mandatory, single, not_sweepable},
	{483, "companion-core-mask", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Specify the CPU cores the companion can use as a core mask.",
		not_mandatory, single, not_sweepable},
	{495, "companion-core-list", &configuration_options_group, cfg_value_type::string, nullptr,
		"Specify the CPU cores the companion can use as a core list.",
		not_mandatory, single, not_sweepable},
	{507, "enable-environment-information", &configuration_options_group, cfg_value_type::boolean, nullptr,
		"Enable environment information collection.",
		not_mandatory, single, not_sweepable},
	{519, "csv-append-mode", &configuration_options_group, cfg_value_type::boolean, nullptr,
		"Append the csv output data to the file if it already exists",
		not_mandatory, single, not_sweepable},
	{531, "rt-stats-interval", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Display the current stats every N milliseconds",
		not_mandatory, single, not_sweepable},
	{117, "device", &configuration_options_group, cfg_value_type::string, "A",
		"Specify the Brixel device to use",
		not_mandatory, single, not_sweepable},
	{129, "representor", &configuration_options_group, cfg_value_type::string, "R",
		"Specify the Brixel device representor to use",
		not_mandatory, single, not_sweepable},
	{543, "query", &configuration_options_group, cfg_value_type::string, nullptr,
		"Get capabilities of the device",
		not_mandatory, single, not_sweepable},
	{554, "record-cpu-usage", &configuration_options_group, cfg_value_type::boolean, nullptr,
		"Record CPU Usage statistics",
		not_mandatory, single, not_sweepable},
	{565, "use-blocking-mode", &configuration_options_group, cfg_value_type::boolean, nullptr,
		"Use an event driven mechanism to reduce polling CPU overhead",
		not_mandatory, single, not_sweepable},
	{577, "display-poll-result-ratio", &configuration_options_group, cfg_value_type::boolean, nullptr,
		"Display the ratio of polls which had a task result to the number that did not",
		not_mandatory, single, not_sweepable},
	{589, "gpu", &configuration_options_group, cfg_value_type::string, "G",
		"Specify the GPU device to use",
		not_mandatory, single, not_sweepable},
	{601, "batch-mode", &configuration_options_group, cfg_value_type::string, nullptr,
		"Set the batch mode. Can be one of: none, batch-submit, batch-submit-minimal-reports (default: none)",
		not_mandatory, single, not_sweepable},
	{613, "batch-size", &configuration_options_group, cfg_value_type::integer, nullptr,
		"Specify the number of jobs to be included in a batch before ringing the doorbell",
		not_mandatory, single, not_sweepable},
}};

} // namespace kova::bench::impl
