#include "stats/engine.hpp"

#include "kova_exception.hpp"
#include "stats/value_provider_factory.hpp"

#include <utility>

namespace kova::bench::stats {
namespace {

const std::vector<float> no_cpu_usage;

void append(std::vector<value_provider> &to, std::vector<value_provider> providers)
{
	to.insert(to.end(), std::make_move_iterator(providers.begin()), std::make_move_iterator(providers.end()));
}

} // namespace

engine::engine(const configuration_collection &config, const environment_map &host_env,
	       const environment_map &dpu_env, const cpu_stats_source &cpu_source)
	: m_data_store{config, host_env, dpu_env}
{
	auto const &fixed = m_data_store.get_configuration().fixed;
	append(m_value_providers, make_fixed_configuration_value_providers());
	append(m_value_providers, make_dynamic_configuration_value_providers());
	append(m_value_providers, make_permutation_stats_value_providers());
	if (fixed.benchmark_mode == configuration::benchmark_mode::precision_latency)
		append(m_value_providers, make_permutation_precision_latency_value_providers());
	else if (fixed.benchmark_mode == configuration::benchmark_mode::bulk_latency)
		append(m_value_providers, make_permutation_bulk_latency_value_providers());
	if (fixed.stats.csv.collect_environment_information) {
		append(m_value_providers, make_environment_value_providers(m_data_store.get_dpu_env(), true));
		append(m_value_providers, make_environment_value_providers(m_data_store.get_host_env(), false));
	}
	if (fixed.record_cpu_usage)
		m_cpu_usage_recorder = cpu_source ? std::make_unique<cpu_usage_recorder>(cpu_source())
						  : std::make_unique<cpu_usage_recorder>();
}

void engine::add_handler(std::unique_ptr<handler> handler)
{
	if (handler)
		m_handlers.push_back(std::move(handler));
}

void engine::add_csv_logger(const logger::configuration &config)
{
	m_loggers.emplace_back(make_csv_formatter(), config, m_data_store, m_value_providers);
}

void engine::start_cpu_usage_recording(const std::vector<uint32_t> &cores)
{
	if (!m_cpu_usage_recorder)
		KOVA_THROW(KOVA_ERROR_BAD_STATE, "CPU usage recording is not enabled");
	m_cpu_usage_recorder->start_cpu_usage_recording(cores);
}

void engine::stop_cpu_usage_recording()
{
	if (m_cpu_usage_recorder)
		m_cpu_usage_recorder->stop_cpu_usage_recording();
}

const std::vector<float> &engine::get_cpu_usage() const
{
	return m_cpu_usage_recorder ? m_cpu_usage_recorder->get_cpu_usage_stats() : no_cpu_usage;
}

void engine::on_permutation_complete(const permutation_stats &stats)
{
	auto const id = static_cast<permutation_id>(m_next_permutation_id);
	m_data_store.add_permutation_stats(stats);
	// Advanced before any logger or handler can fail, so that the id stays
	// equal to the number of stored permutations.
	++m_next_permutation_id;
	for (auto &csv : m_loggers)
		csv.write_row(m_data_store, id);
	for (auto &h : m_handlers)
		h->on_permutation_complete(stats);
}

void engine::display_intermediate_stats(const permutation_stats &stats)
{
	for (auto &h : m_handlers)
		h->display_intermediate_stats(stats);
}

} // namespace kova::bench::stats
