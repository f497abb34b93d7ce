// Builders of configurations and synthetic statistics shared by the statistics tests.
#pragma once

#include "configuration.hpp"
#include "stats/permutation_stats.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kova::bench::test {

inline const std::filesystem::path stats_data_dir = std::filesystem::path{KOVA_TEST_SOURCE_DIR} / "stats" / "data";

inline configuration::pipeline_configuration make_pipeline(const std::vector<std::string> &steps,
							   uint64_t lower_ns = 10000, uint64_t width_ns = 1000)
{
	configuration::pipeline_configuration pipeline;
	for (auto const &name : steps)
		pipeline.steps.push_back({name, {}});
	pipeline.latency_bucket_lower_ns = lower_ns;
	pipeline.latency_bucket_width_ns = width_ns;
	return pipeline;
}

// A collection of `permutations` default permutations with core counts 1, 2, ...
inline configuration_collection make_collection(std::size_t permutations = 1)
{
	configuration_collection collection{default_fixed_configuration(), {}};
	for (std::size_t i = 0; i != permutations; ++i) {
		dynamic_configuration permutation = default_dynamic_configuration();
		permutation.core_count = static_cast<uint32_t>(i + 1);
		collection.permutations.push_back(permutation);
	}
	return collection;
}

inline thread_stats make_thread(uint32_t index, uint32_t core, uint16_t pipeline, uint64_t jobs, uint64_t bytes,
				std::chrono::nanoseconds duration)
{
	thread_stats thread;
	thread.thread_index = index;
	thread.core_id = core;
	thread.pipeline_index = pipeline;
	thread.step.enqueued_jobs = jobs;
	thread.step.dequeued_jobs = jobs;
	thread.step.ingress_bytes = bytes;
	thread.step.egress_bytes = bytes;
	thread.duration = duration;
	return thread;
}

// Statistics of the threads with their aggregate.
inline permutation_stats make_permutation(std::vector<thread_stats> threads, std::vector<float> cpu_usage = {})
{
	permutation_stats stats;
	for (auto const &thread : threads)
		stats.aggregate = stats.aggregate + thread;
	stats.threads = std::move(threads);
	stats.cpu_usage = std::move(cpu_usage);
	return stats;
}

inline std::string read_file(const std::filesystem::path &path)
{
	std::ifstream in{path, std::ios::binary};
	std::ostringstream text;
	text << in.rdbuf();
	return text.str();
}

inline std::string golden(const std::string &name) { return read_file(stats_data_dir / name); }

} // namespace kova::bench::test
