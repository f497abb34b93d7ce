#include "impl/pipeline_trial.hpp"

#include "data_provider/data_provider.hpp"
#include "impl/pipeline_description.hpp"
#include "impl/pipeline_trial_impl.hpp"

#include <algorithm>

namespace kova::bench::impl {
namespace {

constexpr uint32_t trial_job_output_buffer_size = 2 * 1024 * 1024;

utility::pipeline_info make_trial_pipeline(const fixed_configuration &fixed, const dynamic_configuration &permutation,
					   const configuration::pipeline_configuration &pipeline,
					   const data_provider &provider)
{
	utility::pipeline_info info = make_pipeline_info(fixed, pipeline);
	for (auto const &job : provider.get_job_prototypes().jobs)
		info.jobs.push_back(utility::pipeline_info::job_info{job.data(), job.size(), 0});
	for (auto const &step : pipeline.steps) {
		step::object::attributes attributes = make_step_attributes(fixed, permutation, step);
		attributes.task_pool_size = 1;
		attributes.job_output_buffer_size = trial_job_output_buffer_size;
		attributes.job_count = static_cast<uint32_t>(info.jobs.size());
		attributes.job_input_size = 0;
		info.steps.push_back(utility::pipeline_info::step_definition{step.name, std::move(attributes)});
	}
	info.gather = utility::sg_configuration{};
	info.scatter = utility::sg_configuration{};
	info.task_pool_size = 1;
	return info;
}

} // namespace

pipeline_trial::impl::impl(const fixed_configuration &fixed, const dynamic_configuration &permutation,
			   runtime_state &state, const data_provider *provider)
{
	if (provider == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Pipeline trial needs a data provider");
	m_pipelines.reserve(fixed.pipelines.size());
	for (auto const &pipeline : fixed.pipelines)
		m_pipelines.push_back(make_trial_pipeline(fixed, permutation, pipeline, *provider));

	m_thread_states.reserve(m_pipelines.size());
	try {
		for (auto &pipeline : m_pipelines) {
			m_thread_states.push_back(std::make_unique<thread_state>(state, pipeline, m_stop, m_setup_failed, m_running));
			m_thread_states.back()->start();
		}
	} catch (...) {
		stop_and_join();
		throw;
	}
}

pipeline_trial::impl::~impl()
{
	stop_and_join();
}

void pipeline_trial::impl::stop_and_join() noexcept
{
	m_stop.exchange(true);
	for (auto &state : m_thread_states)
		state->join();
}

const kova::exception *pipeline_trial::impl::get_error() const
{
	for (auto const &state : m_thread_states) {
		if (state->get_error().has_value())
			return &*state->get_error();
	}
	return nullptr;
}

pipeline_trial::pipeline_trial(const fixed_configuration &fixed, const dynamic_configuration &permutation,
			       runtime_state &state, const data_provider *provider)
	: m_impl{std::make_unique<impl>(fixed, permutation, state, provider)}
{
}

pipeline_trial::pipeline_trial(pipeline_trial &&other) noexcept = default;
pipeline_trial &pipeline_trial::operator=(pipeline_trial &&other) noexcept = default;
pipeline_trial::~pipeline_trial() = default;

bool pipeline_trial::progress_trial() const
{
	return m_impl && m_impl->progress();
}

const kova::exception *pipeline_trial::get_error() const
{
	return m_impl ? m_impl->get_error() : nullptr;
}

std::vector<utility::pipeline_info> pipeline_trial::get_computed_configs(const dynamic_configuration &permutation) const
{
	std::vector<utility::pipeline_info> pipelines;
	if (m_impl)
		pipelines = m_impl->get_computed_pipelines();
	for (auto &pipeline : pipelines) {
		pipeline.task_pool_size = permutation.task_pool_size;
		pipeline.mtu_size.destruct();
		if (permutation.mtu_size.has_value())
			pipeline.mtu_size.assign(static_cast<uint32_t>(*permutation.mtu_size));
		pipeline.sq_depth = permutation.send_queue_size;
		pipeline.rq_depth = permutation.receive_queue_size;
		pipeline.gather = permutation.gather_value;
		pipeline.scatter = permutation.scatter_value;

		uint32_t largest = 0;
		for (auto const &job : pipeline.jobs)
			largest = std::max({largest, job.output_size, static_cast<uint32_t>(job.size)});
		for (auto &step : pipeline.steps) {
			step.attributes.task_pool_size = permutation.task_pool_size;
			step.attributes.job_output_buffer_size = largest;
		}
	}
	return pipelines;
}

} // namespace kova::bench::impl
