#include "impl/pipeline_description.hpp"

#include "utility/configuration_utils.hpp"

namespace kova::bench::impl {

utility::pipeline_info make_pipeline_info(const fixed_configuration &fixed,
					  const configuration::pipeline_configuration &pipeline)
{
	utility::pipeline_info info;
	info.latency_lower_bound_ns = pipeline.latency_bucket_lower_ns;
	info.latency_bucket_width_ns = pipeline.latency_bucket_width_ns;
	if (fixed.run_limits.max_execution_time.has_value())
		info.limits.max_execution_time_s.assign(
			static_cast<uint64_t>(fixed.run_limits.max_execution_time->count()));
	info.limits.max_jobs = fixed.run_limits.max_jobs;
	info.limits.max_bytes = fixed.run_limits.max_bytes;
	info.mode = fixed.benchmark_mode;
	info.warm_up_job_count = fixed.warm_up_jobs;
	info.use_remote_input_buffers = pipeline.use_remote_input_buffers;
	info.use_remote_output_buffers = pipeline.use_remote_output_buffers;
	info.blocking_mode = fixed.use_blocking_mode;
	info.batch_mode = fixed.batch_mode;
	info.batch_size = fixed.batch_size;
	return info;
}

step::object::attributes make_step_attributes(const fixed_configuration &fixed,
					      const dynamic_configuration &permutation,
					      const configuration::pipeline_configuration::step_definition &step)
{
	step::object::attributes attributes;
	attributes.attribute_map =
		utility::merge_maps(utility::merge_maps(fixed.attributes, permutation.attributes), step.attributes);
	utility::resolve_attribute_file_paths(attributes.attribute_map, fixed.input_cwd, fixed.output_cwd);
	return attributes;
}

} // namespace kova::bench::impl
