// Runs the permutations of one configuration, one after another: opens the devices, prepares the
// companion when one is needed, sets up the statistics outputs, and for each permutation starts
// pinned worker threads, reports intermediate and final statistics and tears the steps down.
//
// Every operation runs on the caller's thread: construct, start() once, progress() until it
// returns true, destroy. Worker threads share only the control block with this object.
#pragma once

#include "companion/api/connection.hpp"
#include "configuration.hpp"
#include "data_provider/data_provider.hpp"
#include "impl/shared_thread_control_block.hpp"
#include "impl/thread_data.hpp"
#include "runtime_state.hpp"
#include "stats/engine.hpp"
#include "utility/pipeline_info.hpp"
#include "utility/remote_mmap_definition.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kova::bench {

class benchmark {
public:
	// Makes the data provider of the given name; the caller owns the result.
	using data_provider_factory = std::function<std::unique_ptr<data_provider>(const std::string &name,
										   const data_provider::attributes &attributes)>;

	enum class display_reason : uint8_t {
		final = 0,        // the permutation is complete
		intermediate = 1, // the permutation is running
	};

	// How long the benchmark waits on its companion: for the connection and for each reply.
	struct companion_time_limits {
		std::chrono::seconds connect{companion::api::companion_timeout_s};
		std::chrono::seconds request{companion::api::companion_timeout_s};
	};

	// Throws KOVA_ERROR_INVALID_VALUE "Invalid configuration" when validation reports an error, and
	// KOVA_ERROR_INVALID_VALUE "Data provider factory must be provided" without a factory.
	benchmark(const configuration_collection &configuration, data_provider_factory factory);
	benchmark(const configuration_collection &configuration, data_provider_factory factory,
		  companion_time_limits companion_limits);
	benchmark(const benchmark &) = delete;
	benchmark &operator=(const benchmark &) = delete;
	// stop(); a failure is printed, never thrown.
	~benchmark();

	// Opens the devices, makes the data provider, prepares the companion when one is needed, sets up
	// the statistics engine and launches the first permutation. Throws kova::exception.
	void start();

	// One poll: answers the companion, reports intermediate statistics when due, and ends a finished
	// permutation and launches the next. True when the last permutation has completed. Throws KOVA_ERROR_UNKNOWN
	// when a permutation failed critically. Any failure also asks the worker threads to stop.
	bool progress();

	// The source of the CPU statistics that CPU usage recording samples; the system's by default.
	// Takes effect at start().
	void set_cpu_stats_source(stats::engine::cpu_stats_source source) { m_cpu_stats_source = std::move(source); }

	// Stops and joins the worker threads, reports the final statistics of the current permutation,
	// releases the companion's memory regions and closes the connection.
	void stop();

private:
	bool progress_once();

	// Prints "<what>...", or "<what> permutation <n> of <count>..." when there are several.
	void announce(const char *what) const;

	// Permutation completion and reporting.
	void stop_and_join_threads();
	void on_permutation_completed() noexcept;
	void do_async_cleanup();
	void handle_permutation_stats(display_reason reason);

	// Permutation launch.
	void launch_permutation();
	std::vector<uint32_t> make_core_list() const;
	std::vector<utility::pipeline_info> build_pipelines(uint32_t job_output_buffer_size) const;
	std::vector<utility::pipeline_info> run_pipeline_trial();
	void prepare_remote_mmaps(const std::vector<utility::pipeline_info> &pipelines, uint32_t thread_count);
	void create_thread_data(std::vector<utility::pipeline_info> &pipelines, const std::vector<uint32_t> &core_list);
	void run_async_setup();
	void start_remote_workers();
	void start_threads();

	// Run controller helpers.
	std::unique_ptr<data_provider> make_data_provider() const;
	void prepare_companion();
	void collect_environment_information(stats::environment_map &host, stats::environment_map &remote);
	void create_stats_engine(const stats::environment_map &host, const stats::environment_map &remote);
	std::vector<utility::remote_mmap_definition> create_remote_input_mmaps(uint32_t count);
	std::vector<utility::remote_mmap_definition> create_remote_output_mmaps(uint32_t count, uint32_t size);
	void destroy_remote_mmaps();

	fixed_configuration m_fixed;
	companion_time_limits m_companion_limits;
	stats::engine::cpu_stats_source m_cpu_stats_source;
	std::vector<dynamic_configuration> m_permutations;
	runtime_state m_runtime_state;
	std::vector<std::unique_ptr<impl::thread_data>> m_thread_data;
	std::vector<std::thread> m_threads;
	data_provider_factory m_factory;
	std::unique_ptr<data_provider> m_data_provider;
	std::unique_ptr<stats::engine> m_stats_engine;
	std::shared_ptr<impl::shared_thread_control_block> m_control_block;
	uint32_t m_permutation_idx = 0;
	std::chrono::steady_clock::time_point m_permutation_start_time{};
	std::chrono::steady_clock::time_point m_next_stats_report_time{};
	// The current permutation's threads were released: only then does it have statistics.
	bool m_permutation_released = false;
	// The companion holds memory regions created by this run.
	bool m_remote_mmaps_created = false;
	// Per pipeline: index of its first output region in the runtime state's list.
	std::vector<std::size_t> m_output_mmap_offsets;
};

} // namespace kova::bench
