// The configuration builder: defaults, cross-option rules, core sets, the
// companion connection string, pipelines and the sweep permutations.
#include "impl/configuration_builder.hpp"

#include "impl/configuration_parser.hpp"
#include "impl/configuration_values.hpp"
#include "kova_exception.hpp"
#include "utility/configuration_utils.hpp"
#include "utility/cpu_core_set.hpp"

#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>

namespace kova::bench::impl {

namespace {

// Used when the option is absent, as the help texts promise.
constexpr uint32_t default_threads_per_core = 1;
constexpr uint32_t default_task_pool_size = 1024;
constexpr utility::sg_configuration default_split{1, utility::sg_split_type::count};

// The swept step attributes.
constexpr const utility::property_definition *swept_attributes[] = {
	&utility::attribute::zoption_mmo_log_num_qps,
	&utility::attribute::zoption_mmo_log_qp_depth,
	&utility::attribute::kova_rdma_transport_type,
	&utility::attribute::kova_rdma_gid_index,
};

// The fully qualified key of the swept step attribute a sweep names (by key
// or by leaf name), or empty.
kova::optional<std::string> swept_attribute_key(const std::string &sweep_name)
{
	for (const utility::property_definition *property : swept_attributes) {
		std::string key = utility::fully_qualified_name(*property);
		if (sweep_name == property->name || sweep_name == key)
			return key;
	}
	return {};
}

bool is_swept(const config_parameters &params, const std::string &name)
{
	return std::any_of(params.sweeps.begin(), params.sweeps.end(),
			   [&name](const utility::sweep_definition &sweep) { return sweep.get_property_name() == name; });
}

void throw_if_value_is_provided_and_sweeped(const config_parameters &params, const option_row &option)
{
	if (option.sweep.given != nullptr && option.sweep.given(params) && is_swept(params, option.long_name))
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, std::string{option.long_name} +
							     " may not be specified when also performing a sweep test of that parameter");
}

void throw_if_value_is_provided_and_sweeped(const config_parameters &params, const utility::property_definition &attribute)
{
	std::string const key = utility::fully_qualified_name(attribute);
	if (params.attributes.count(key) == 0)
		return;
	for (const auto &sweep : params.sweeps) {
		kova::optional<std::string> const swept = swept_attribute_key(sweep.get_property_name());
		if (swept.has_value() && *swept == key)
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
				   key + " may not be specified when also performing a sweep test of that attribute");
	}
}

// The options in table order, then the swept step attributes.
void check_provided_and_swept(const config_parameters &params)
{
	for (const option_row &option : option_table)
		throw_if_value_is_provided_and_sweeped(params, option);
	for (const utility::property_definition *attribute : swept_attributes)
		throw_if_value_is_provided_and_sweeped(params, *attribute);
}

template <typename T>
T value_or(const kova::optional<T> &value, const T &fallback)
{
	return value.has_value() ? *value : fallback;
}

template <typename T>
void copy_if_given(const kova::optional<T> &value, kova::optional<T> &target)
{
	if (value.has_value())
		target = *value;
}

utility::cpu_core_set core_set_from(const kova::optional<uint64_t> &mask, const kova::optional<std::string> &list)
{
	return mask.has_value() ? utility::unpack_core_mask(*mask) : utility::parse_cpu_core_set_string(*list);
}

// The pipeline checks give the refusal's text, which configuration_from_config_params throws as
// its own.
kova::optional<std::string> tessel_pipeline_problem(const config_parameters &params, const fixed_configuration &fixed,
						    const std::vector<std::string> &steps)
{
	if (steps.size() > 1)
		return std::string{"Multiple steps with KOVA Tessel is not supported"};
	if (fixed.core_set.cores.size() > 1 || fixed.companion.core_set.cores.size() > 1 ||
	    value_or(params.threads_per_core, 0u) > 1)
		return std::string{"Multi-core/threaded KOVA Tessel is not supported"};
	if (!fixed.gpu.has_value())
		return std::string{"A GPU must be provided for kova_tessel."};
	if (params.gather_value.has_value() || params.scatter_value.has_value())
		return std::string{"Scatter/Gather is not supported for KOVA Tessel."};
	if (params.use_remote_input_buffers.has_value() || params.use_remote_output_buffers.has_value())
		return std::string{"Remote input/output buffers are not supported for KOVA Tessel."};
	return {};
}

kova::optional<std::string> pipeline_steps_problem(const config_parameters &params, const fixed_configuration &fixed,
						   const std::vector<std::string> &steps)
{
	for (const std::string &step : steps) {
		if ((step == "kova_eth::tx" || step == "kova_eth::rx") &&
		    (fixed.companion.core_set.cores.size() > 1 || fixed.core_set.cores.size() > 1 ||
		     value_or(params.threads_per_core, 0u) > 1))
			return std::string{"Multi-core/threaded KOVA Eth Rx not currently supported"};
		if (fixed.batch_mode != configuration::batch_mode::none && step != "kova_sha" && step != "kova_dma")
			return std::string{"Batch mode not currently supported for this step type"};
	}
	return {};
}

// Applies the index-th value of the sweep: through the row of the option it
// names, or to the step attribute it names.
void mutate_config(dynamic_configuration &permutation, const utility::sweep_definition &sweep, uint32_t index)
{
	const std::string &name = sweep.get_property_name();
	if (const option_row *option = find_option(name); option != nullptr && option->sweep.apply != nullptr)
		option->sweep.apply(permutation, sweep, index);
	else if (kova::optional<std::string> const key = swept_attribute_key(name))
		permutation.attributes[*key] = sweep_value_text(sweep, index);
	else
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unknown sweep property: " + name);
}

dynamic_configuration base_permutation(const fixed_configuration &fixed, const config_parameters &params)
{
	const dynamic_configuration &defaults = default_dynamic_configuration();
	dynamic_configuration base;
	copy_if_given(params.uniform_job_size, base.uniform_job_size);
	base.core_count = value_or(params.core_count, static_cast<uint32_t>(fixed.core_set.cores.size()));
	base.threads_per_core = value_or(params.threads_per_core, default_threads_per_core);
	base.attributes = defaults.attributes;
	base.task_pool_size = value_or(params.task_pool_size, default_task_pool_size);
	base.job_output_buffer_size = value_or(params.job_output_buffer_size, defaults.job_output_buffer_size);
	base.data_provider_job_count = value_or(params.data_provider_job_count, defaults.data_provider_job_count);
	base.gather_value = value_or(params.gather_value, default_split);
	base.scatter_value = value_or(params.scatter_value, default_split);
	copy_if_given(params.mtu_size, base.mtu_size);
	copy_if_given(params.send_queue_size, base.send_queue_size);
	copy_if_given(params.receive_queue_size, base.receive_queue_size);
	copy_if_given(params.data_provider_input_file, base.input_data_file);
	return base;
}

uint64_t physical_memory_bytes() noexcept
{
	long const pages = sysconf(_SC_PHYS_PAGES);
	long const page_size = sysconf(_SC_PAGE_SIZE);
	if (pages <= 0 || page_size <= 0)
		return 0;
	return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

[[noreturn]] void throw_permutations_exceed_memory(uint64_t count)
{
	KOVA_THROW(KOVA_ERROR_NO_MEMORY,
		   "Too many sweep permutations: " + std::to_string(count) + " do not fit in this machine's memory");
}

std::vector<dynamic_configuration> expand_sweep_permutations(const fixed_configuration &fixed,
							      const config_parameters &params)
{
	dynamic_configuration const base = base_permutation(fixed, params);
	if (params.sweeps.empty())
		return {base};

	uint64_t count = 1;
	for (const auto &sweep : params.sweeps) {
		uint64_t const values = sweep.get_value_count();
		if (values == 0 || count > utility::max_sweep_permutations / values)
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
				   "Too many sweep permutations: more than " +
					   std::to_string(utility::max_sweep_permutations));
		count *= values;
	}

	// Every permutation is a full copy of the dynamic configuration: refuse a set that cannot be
	// held, before the machine runs out of memory building it.
	uint64_t const memory = physical_memory_bytes();
	if (memory != 0 && count > memory / 2 / sizeof(dynamic_configuration))
		throw_permutations_exceed_memory(count);
	std::vector<dynamic_configuration> permutations;
	try {
		permutations.reserve(count);
	} catch (const std::bad_alloc &) {
		throw_permutations_exceed_memory(count);
	}
	// An odometer over the sweeps: the last one varies fastest.
	std::vector<uint32_t> indices(params.sweeps.size(), 0);
	for (uint64_t n = 0; n < count; ++n) {
		dynamic_configuration permutation = base;
		for (std::size_t s = 0; s < params.sweeps.size(); ++s)
			mutate_config(permutation, params.sweeps[s], indices[s]);
		permutations.push_back(std::move(permutation));
		for (std::size_t s = params.sweeps.size(); s-- > 0;) {
			if (++indices[s] < params.sweeps[s].get_value_count())
				break;
			indices[s] = 0;
		}
	}
	return permutations;
}

} // namespace

configuration_collection configuration_from_config_params(const config_parameters &params)
{
	if (!params.sweeps.empty())
		check_provided_and_swept(params);

	int const run_limit_count = static_cast<int>(params.run_limit_bytes.has_value()) +
				    static_cast<int>(params.run_limit_seconds.has_value()) +
				    static_cast<int>(params.run_limit_jobs.has_value());
	if (run_limit_count > 1)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Run limits are mutually exclusive, at most 1 can be provided at a time");

	const fixed_configuration &defaults = default_fixed_configuration();
	configuration_collection result;
	fixed_configuration &fixed = result.fixed;

	if (params.companion_connection_string.has_value())
		utility::parse_companion_connection_string(*params.companion_connection_string, fixed.companion);

	if (params.companion_core_mask.has_value() && params.companion_core_list.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Cannot specify both companion-core-mask and companion-core-list");
	if (params.companion_core_mask.has_value())
		fixed.companion.core_set = utility::unpack_core_mask(*params.companion_core_mask);
	else if (params.companion_core_list.has_value())
		fixed.companion.core_set = utility::parse_cpu_core_set_string(*params.companion_core_list);

	fixed.data_provider.name = value_or(params.data_provider, defaults.data_provider.name);

	fixed.attributes = defaults.attributes;
	for (const auto &[key, value] : params.attributes)
		fixed.attributes[key] = value;

	if (params.run_limit_bytes.has_value())
		fixed.run_limits.max_bytes = *params.run_limit_bytes;
	else if (params.run_limit_seconds.has_value())
		fixed.run_limits.max_execution_time = std::chrono::seconds{static_cast<int64_t>(*params.run_limit_seconds)};
	else if (params.run_limit_jobs.has_value())
		fixed.run_limits.max_jobs = *params.run_limit_jobs;

	fixed.device = value_or(params.device, std::string{});
	copy_if_given(params.representor, fixed.representor);
	copy_if_given(params.gpu, fixed.gpu);
	copy_if_given(params.input_cwd, fixed.input_cwd);
	copy_if_given(params.output_cwd, fixed.output_cwd);
	fixed.warm_up_jobs = value_or(params.warm_up_jobs, defaults.warm_up_jobs);

	if (params.core_mask.has_value() && params.core_list.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Cannot specify both core-mask and core-list");
	if (params.core_mask.has_value() || params.core_list.has_value())
		fixed.core_set = core_set_from(params.core_mask, params.core_list);
	else
		fixed.core_set = defaults.core_set;

	fixed.rt_stats_interval = value_or(params.rt_stats_interval, defaults.rt_stats_interval);
	fixed.benchmark_mode = value_or(params.benchmark_mode, defaults.benchmark_mode);
	fixed.warnings_as_errors = value_or(params.warnings_as_errors, defaults.warnings_as_errors);
	fixed.record_cpu_usage = value_or(params.record_cpu_usage, defaults.record_cpu_usage);
	fixed.batch_mode = value_or(params.batch_mode, defaults.batch_mode);
	fixed.batch_size = value_or(params.batch_size, defaults.batch_size);
	copy_if_given(params.query, fixed.query);

	const configuration::pipeline_configuration &default_pipeline = defaults.pipelines.front();
	for (const auto &steps : params.pipelines) {
		configuration::pipeline_configuration pipeline;
		for (const auto &name : steps)
			pipeline.steps.push_back({name, {}});
		if (params.latency_bucket_range.has_value()) {
			pipeline.latency_bucket_lower_ns = params.latency_bucket_range->first;
			pipeline.latency_bucket_width_ns = params.latency_bucket_range->second;
		} else {
			pipeline.latency_bucket_lower_ns = default_pipeline.latency_bucket_lower_ns;
			pipeline.latency_bucket_width_ns = default_pipeline.latency_bucket_width_ns;
		}
		pipeline.use_remote_input_buffers =
			value_or(params.use_remote_input_buffers, default_pipeline.use_remote_input_buffers);
		pipeline.use_remote_output_buffers =
			value_or(params.use_remote_output_buffers, default_pipeline.use_remote_output_buffers);
		if (!steps.empty() && utility::is_tessel_step_type(steps.front())) {
			if (kova::optional<std::string> const problem = tessel_pipeline_problem(params, fixed, steps))
				KOVA_THROW(KOVA_ERROR_INVALID_VALUE, *problem);
		}
		fixed.pipelines.push_back(std::move(pipeline));
		if (kova::optional<std::string> const problem = pipeline_steps_problem(params, fixed, steps))
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, *problem);
	}

	copy_if_given(params.csv_output_file, fixed.stats.csv.file_name);
	fixed.stats.csv.selected_stats = params.csv_stats_selected;
	fixed.stats.csv.deselected_stats = params.csv_stats_deselected;
	fixed.stats.csv.separate_dynamic_values = value_or(params.csv_separate_dynamic_values, false);
	fixed.stats.csv.collect_environment_information = value_or(params.environment_information, false);
	fixed.stats.csv.append = value_or(params.csv_append_mode, false);
	fixed.use_blocking_mode = value_or(params.use_blocking_mode, false);
	fixed.stats.display_poll_result_ratio = value_or(params.display_poll_result_ratio, false);

	result.permutations = expand_sweep_permutations(fixed, params);
	return result;
}

} // namespace kova::bench::impl
