// Defaults of the run configuration.
#include "configuration.hpp"

#include <limits>

namespace kova::bench {

namespace {

fixed_configuration make_default_fixed_configuration()
{
	fixed_configuration config;
	configuration::pipeline_configuration pipeline;
	pipeline.latency_bucket_lower_ns = 10000;
	pipeline.latency_bucket_width_ns = 1000;
	config.pipelines.push_back(pipeline);
	config.run_limits.max_execution_time = std::chrono::seconds{10};
	config.run_limits.max_jobs = std::numeric_limits<uint64_t>::max();
	config.run_limits.max_bytes = std::numeric_limits<uint64_t>::max();
	config.data_provider.name = "random-data";
	config.core_set.cores = {1};
	return config;
}

} // namespace

const fixed_configuration &default_fixed_configuration()
{
	static const fixed_configuration defaults = make_default_fixed_configuration();
	return defaults;
}

const dynamic_configuration &default_dynamic_configuration()
{
	static const dynamic_configuration defaults{};
	return defaults;
}

const configuration_collection &default_configuration_collection_values()
{
	static const configuration_collection defaults{default_fixed_configuration(), {default_dynamic_configuration()}};
	return defaults;
}

} // namespace kova::bench
