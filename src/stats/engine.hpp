// The statistics hub of a benchmark run: stores every completed permutation,
// writes it to the CSV loggers and passes it to the report handlers.
#pragma once

#include "configuration.hpp"
#include "stats/cpu_usage_recorder.hpp"
#include "stats/data_store.hpp"
#include "stats/logger.hpp"
#include "stats/value_provider.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace kova::bench::stats {

class engine : public handler {
public:
	// Makes the provider the CPU usage recorder samples.
	using cpu_stats_source = std::function<std::unique_ptr<utility::cpu_stats_provider>()>;

	// Builds the value providers the configuration asks for and, when CPU
	// usage is recorded, the recorder (whose creation may throw) over the source's provider, or
	// over the system's statistics without a source.
	engine(const configuration_collection &configuration, const environment_map &host_env,
	       const environment_map &dpu_env, const cpu_stats_source &cpu_source = {});
	// A CPU usage recording must have been stopped before.
	~engine() override = default;

	engine(const engine &) = delete;
	engine &operator=(const engine &) = delete;

	// Appends and owns the handler; an empty pointer is ignored.
	void add_handler(std::unique_ptr<handler> handler);

	// Adds a CSV logger over the value providers; throws what its creation
	// throws, and then adds nothing.
	void add_csv_logger(const logger::configuration &config);

	// Only when the fixed configuration records CPU usage.
	void start_cpu_usage_recording(const std::vector<uint32_t> &cores);
	void stop_cpu_usage_recording();

	// The samples of the last stopped recording; empty while a recording runs
	// or when CPU usage is not recorded.
	[[nodiscard]] const std::vector<float> &get_cpu_usage() const;

	// Stores the final statistics, writes a CSV row per logger and passes them
	// to every handler.
	void on_permutation_complete(const permutation_stats &stats) override;

	// Passes intermediate statistics to every handler.
	void display_intermediate_stats(const permutation_stats &stats) override;

	[[nodiscard]] const data_store &get_data_store() const noexcept { return m_data_store; }
	[[nodiscard]] const std::vector<value_provider> &get_value_providers() const noexcept
	{
		return m_value_providers;
	}

private:
	data_store m_data_store;
	std::vector<value_provider> m_value_providers;
	std::vector<std::unique_ptr<handler>> m_handlers;
	std::vector<logger> m_loggers;
	uint64_t m_next_permutation_id = 0;
	std::unique_ptr<cpu_usage_recorder> m_cpu_usage_recorder;
};

} // namespace kova::bench::stats
