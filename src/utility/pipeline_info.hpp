// One pipeline as one permutation runs it: its jobs, its steps and the
// settings its worker threads read. Built by the permutation launch and the
// pipeline trial.
#pragma once

#include "configuration.hpp"
#include "kova_optional.hpp"
#include "step/object.hpp"
#include "utility/remote_mmap_definition.hpp"
#include "utility/sg_configuration.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace kova::bench::utility {

struct pipeline_info {
	struct job_info {
		// Not owned: the data provider's bytes, which outlive every pipeline_info.
		const char *data = nullptr;
		uint64_t size = 0;
		// The largest size the job reaches in the pipeline.
		uint32_t output_size = 0;
	};

	struct step_definition {
		std::string name;
		step::object::attributes attributes;
	};

	struct run_limits {
		kova::optional<uint64_t> max_execution_time_s;
		kova::optional<uint64_t> max_jobs;
		kova::optional<uint64_t> max_bytes;
	};

	std::vector<job_info> jobs;
	std::vector<step_definition> steps;
	uint64_t latency_lower_bound_ns = 0;
	uint64_t latency_bucket_width_ns = 0;
	run_limits limits;
	sg_configuration gather{1, sg_split_type::count};
	sg_configuration scatter{1, sg_split_type::count};
	kova::optional<uint32_t> mtu_size;
	kova::optional<uint32_t> sq_depth;
	kova::optional<uint32_t> rq_depth;
	// The runtime state's definitions of the peer's memory, or null for local memory.
	const remote_mmap_definition *input_remote_mmap_definition = nullptr;
	const remote_mmap_definition *output_remote_mmap_definition = nullptr;
	configuration::benchmark_mode mode = configuration::benchmark_mode::throughput;
	uint32_t warm_up_job_count = 0;
	uint32_t task_pool_size = 0;
	bool use_remote_input_buffers = false;
	bool use_remote_output_buffers = false;
	bool blocking_mode = false;
	configuration::batch_mode batch_mode = configuration::batch_mode::none;
	uint32_t batch_size = 0;
};

} // namespace kova::bench::utility
