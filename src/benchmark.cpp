// The benchmark's run controller: construction, start, polling and stop.
#include "benchmark.hpp"

#include "companion/api/async_context.hpp"
#include "companion/api/request_or_throw.hpp"
#include "companion/api/tcp_connect.hpp"
#include "companion/remote_control.hpp"
#include "configuration_validation.hpp"
#include "dl/kova_flow_api.hpp"
#include "kova_exception.hpp"
#include "stats/console_handler.hpp"
#include "stats/logger.hpp"
#include "utility/environment_information.hpp"

#include <kova/error.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <unordered_set>

namespace kova::bench {
namespace {

namespace api = companion::api;
namespace v1 = companion::api::v1;
namespace remote_control = companion::remote_control;

constexpr const char *default_companion_path = "/opt/tervane/kova/tools/kova_bench_companion";

bool has_any_of(const std::string &name, std::initializer_list<const char *> words)
{
	return std::any_of(words.begin(), words.end(),
			   [&](const char *word) { return name.find(word) != std::string::npos; });
}

std::string companion_path(const attribute_map &attributes)
{
	for (const char *key : {"zopt.companion_app.path", "zoption.companion_app.path"}) {
		auto const entry = attributes.find(key);
		if (entry != attributes.end())
			return entry->second;
	}
	return default_companion_path;
}

std::vector<utility::remote_mmap_definition> definitions_of(v1::create_remote_mmaps_response reply)
{
	std::vector<utility::remote_mmap_definition> definitions;
	for (auto &exported : reply.exported_mmaps)
		definitions.push_back(utility::remote_mmap_definition{std::move(exported)});
	return definitions;
}

api::async::context &companion_context(runtime_state &state)
{
	auto *context = state.get_companion_connection_async();
	if (context == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_CONNECTED, "No companion connection is created");
	return *context;
}

} // namespace

benchmark::benchmark(const configuration_collection &configuration, data_provider_factory factory)
	: benchmark(configuration, std::move(factory), companion_time_limits{})
{
}

benchmark::benchmark(const configuration_collection &configuration, data_provider_factory factory,
		     companion_time_limits companion_limits)
	: m_companion_limits{companion_limits}
{
	auto const reports = validate(configuration);
	if (std::any_of(reports.begin(), reports.end(), [](const auto &report) { return report.is_error; }))
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid configuration");

	m_fixed = configuration.fixed;
	m_permutations = configuration.permutations;
	m_control_block = std::make_shared<impl::shared_thread_control_block>();
	m_factory = std::move(factory);
	if (!m_factory)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Data provider factory must be provided");
}

benchmark::~benchmark()
{
	try {
		stop();
	} catch (const std::exception &error) {
		std::printf("Failed to stop benchmark: %s\n", error.what());
		std::fflush(stdout);
	} catch (...) {
		std::printf("Failed to stop benchmark: unexpected exception\n");
		std::fflush(stdout);
	}
}

void benchmark::start()
{
	m_control_block->critical.exchange(1);
	if (!m_thread_data.empty())
		KOVA_THROW(KOVA_ERROR_BAD_STATE, "Cannot start an already running instance");

	try {
		m_runtime_state.open_device_and_representor(m_fixed.device, m_fixed.representor);
		if (m_fixed.gpu.has_value())
			m_runtime_state.open_gpu_device(*m_fixed.gpu);
	} catch (const kova::exception &error) {
		KOVA_THROW(error.code(), error.what());
	}

	m_data_provider = make_data_provider();

	bool companion_needed = false;
	bool uses_eth_or_tessel = false;
	for (auto const &pipeline : m_fixed.pipelines) {
		companion_needed = companion_needed || pipeline.use_remote_input_buffers || pipeline.use_remote_output_buffers;
		for (auto const &step : pipeline.steps) {
			companion_needed = companion_needed || has_any_of(step.name, {"rdma", "comch", "eth", "tessel"});
			uses_eth_or_tessel = uses_eth_or_tessel || has_any_of(step.name, {"eth", "tessel"});
		}
	}

	if (uses_eth_or_tessel)
		static_cast<void>(dl::kova_flow_api::singleton());

	if (m_fixed.companion.connection_string.has_value() || companion_needed)
		prepare_companion();

	stats::environment_map host_environment;
	stats::environment_map remote_environment;
	if (m_fixed.stats.csv.collect_environment_information)
		collect_environment_information(host_environment, remote_environment);
	create_stats_engine(host_environment, remote_environment);

	uint32_t max_core_count = 0;
	uint32_t max_threads_per_core = 0;
	for (auto const &permutation : m_permutations) {
		max_core_count = std::max(max_core_count, permutation.core_count);
		max_threads_per_core = std::max(max_threads_per_core, permutation.threads_per_core);
	}
	uint64_t const thread_count = uint64_t{max_core_count} * max_threads_per_core;
	m_thread_data.reserve(thread_count);
	m_threads.reserve(thread_count);

	m_control_block->critical.exchange(0);
	launch_permutation();
}

bool benchmark::progress()
{
	try {
		return progress_once();
	} catch (...) {
		// The run cannot go on: the workers end their loops at their next clock check.
		m_control_block->critical.exchange(1);
		m_control_block->stop.exchange(1);
		throw;
	}
}

bool benchmark::progress_once()
{
	auto const now = std::chrono::steady_clock::now();
	if (auto *context = m_runtime_state.get_companion_connection_async())
		context->poll(now);

	if (m_control_block->running_count.load() == 0) {
		if (m_control_block->critical.load() != 0)
			KOVA_THROW(KOVA_ERROR_UNKNOWN, "Benchmark failed critically, see logs for more info");
		on_permutation_completed();
		if (m_permutation_idx >= m_permutations.size()) {
			// A failed cleanup of the last permutation fails the run as well.
			if (m_control_block->critical.load() != 0)
				KOVA_THROW(KOVA_ERROR_UNKNOWN, "Benchmark failed critically, see logs for more info");
			return true;
		}
		stop_and_join_threads();
		launch_permutation();
		return false;
	}

	if (now > m_next_stats_report_time) {
		m_next_stats_report_time = now + std::chrono::milliseconds{m_fixed.rt_stats_interval};
		handle_permutation_stats(display_reason::intermediate);
	}
	return false;
}

void benchmark::stop()
{
	// Every part runs even when an earlier one failed; the first failure is thrown at the end.
	std::exception_ptr failure;
	auto const attempt = [&failure](auto &&action) {
		try {
			action();
		} catch (...) {
			if (!failure)
				failure = std::current_exception();
		}
	};

	// A recording still runs only when the permutation did not complete; its samples end here.
	attempt([this] {
		if (m_stats_engine)
			m_stats_engine->stop_cpu_usage_recording();
	});
	attempt([this] { stop_and_join_threads(); });
	if (m_runtime_state.get_companion_connection() != nullptr) {
		attempt([this] { destroy_remote_mmaps(); });
		m_runtime_state.set_companion_connection(nullptr);
	}
	if (failure)
		std::rethrow_exception(failure);
}

std::unique_ptr<data_provider> benchmark::make_data_provider() const
{
	auto const &permutation = m_permutations.at(m_permutation_idx);
	data_provider::attributes attributes;
	attributes.input_directory = m_fixed.input_cwd;
	attributes.input_file = permutation.input_data_file;
	attributes.job_count = m_fixed.benchmark_mode == configuration::benchmark_mode::precision_latency
				       ? 1
				       : permutation.data_provider_job_count;
	attributes.uniform_job_size = permutation.uniform_job_size.has_value() ? *permutation.uniform_job_size : 0;
	attributes.continue_stream = true;
	auto provider = m_factory(m_fixed.data_provider.name, attributes);
	if (!provider)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
			   "Data provider factory made no provider of type \"" + m_fixed.data_provider.name + "\"");
	return provider;
}

void benchmark::prepare_companion()
{
	auto &companion = m_fixed.companion;
	auto const devices = m_runtime_state.get_devices();
	if (devices.empty())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "[BUG] Tried to start companion without any kova devices");
	if (devices.size() > 1)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to use remote session management with multiple DPUs at once");
	if (!companion.connection_string.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
			   "Unable to interact with companion, no connection string was specified");
	if (!companion.port.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to interact with companion, no TCP port was specified");

	if (!companion.no_launch) {
		remote_control::ssh_config ssh;
		ssh.destination = companion.remote_address.has_value() ? *companion.remote_address : std::string{};
		if (companion.ssh_port.has_value())
			ssh.port.assign(*companion.ssh_port);
		ssh.companion_path = companion_path(m_fixed.attributes);

		std::unique_ptr<remote_control::remote_companion> launched;
		switch (companion.protocol) {
		case 1:
			if (!companion.representor.has_value()) {
				companion.representor.assign(m_fixed.device);
				companion.device = remote_control::determine_dpu_device_address_matching_representor(
					ssh, *companion.representor);
			}
			launched = remote_control::launch_tcp_companion(ssh, *companion.port, companion.device,
									*companion.representor, companion.gpu);
			break;
		case 0:
		case 2:
			launched = remote_control::launch_tcp_companion(ssh, *companion.port, companion.device, companion.gpu);
			break;
		default:
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Companion protocol not supported");
		}
		m_runtime_state.set_remote_companion_lifetime_control(std::move(launched));
	}

	if (!companion.address.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to interact with companion, no address was specified");
	// The wait may be long (a companion still starting, or a wrong address): say what it is for.
	std::printf("Connecting to the companion at %s:%u, waiting up to %lld seconds...\n", companion.address->c_str(),
		    static_cast<unsigned>(*companion.port), static_cast<long long>(m_companion_limits.connect.count()));
	std::fflush(stdout);
	m_runtime_state.set_companion_connection(
		api::connect_via_tcp_as_client(*companion.address, *companion.port, m_companion_limits.connect.count()));

	if (!companion.core_set.cores.empty()) {
		auto *context = m_runtime_state.get_companion_connection_async();
		if (context == nullptr)
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
				   "[BUG] unable to configure companion worker pool. No companion connection is created");
		v1::configure_worker_pool_request request;
		request.id = m_runtime_state.get_next_api_message_seq_num();
		request.cores = std::unordered_set<uint16_t>(companion.core_set.cores.begin(), companion.core_set.cores.end());
		api::request_or_throw(std::move(request), *context, m_companion_limits.request.count(),
				      "Failed to configure companion workers pool: ");
	}
}

void benchmark::collect_environment_information(stats::environment_map &host, stats::environment_map &remote)
{
	host = utility::environment_information{}.get_host_environment_information();
	auto *context = m_runtime_state.get_companion_connection_async();
	if (m_runtime_state.get_companion_connection() == nullptr || context == nullptr)
		return;
	auto reply = api::request_or_print(
		v1::get_environment_information_request{m_runtime_state.get_next_api_message_seq_num()}, *context,
		m_companion_limits.request.count(), "Failed to retrieve remote host environment info");
	if (reply.has_value())
		remote = std::move(reply->information);
}

void benchmark::create_stats_engine(const stats::environment_map &host, const stats::environment_map &remote)
{
	configuration_collection const collection{m_fixed, m_permutations};
	auto engine = std::make_unique<stats::engine>(collection, host, remote, m_cpu_stats_source);

	auto const &csv = m_fixed.stats.csv;
	if (csv.file_name.has_value()) {
		stats::logger::configuration logger_config;
		logger_config.directory = m_fixed.output_cwd;
		logger_config.file_name = csv.file_name;
		logger_config.selected_stats = csv.selected_stats;
		logger_config.deselected_stats = csv.deselected_stats;
		logger_config.separate_fixed_values = csv.separate_dynamic_values;
		logger_config.separate_environment_values = csv.separate_dynamic_values;
		logger_config.open_mode = csv.append ? stats::logger::file_mode::append : stats::logger::file_mode::truncate;
		engine->add_csv_logger(logger_config);
	}

	stats::console_handler_configuration console;
	console.pipelines = m_fixed.pipelines;
	console.mode = m_fixed.benchmark_mode;
	if (!m_fixed.pipelines.empty()) {
		console.latency_lower_bound = m_fixed.pipelines.front().latency_bucket_lower_ns;
		console.latency_bucket_width = m_fixed.pipelines.front().latency_bucket_width_ns;
	}
	console.per_thread_stats = 3;
	console.aggregate_pipeline_stats = 2;
	console.aggregate_stats = 3;
	console.cpu_usage_stats = m_fixed.record_cpu_usage ? 2 : 0;
	console.show_pe_hit_ratio = m_fixed.stats.display_poll_result_ratio;
	engine->add_handler(stats::make_console_handler(std::move(console), std::cout));

	m_stats_engine = std::move(engine);
}

std::vector<utility::remote_mmap_definition> benchmark::create_remote_input_mmaps(uint32_t count)
{
	auto const &prototypes = m_data_provider->get_job_prototypes();
	std::vector<char> block;
	block.reserve(prototypes.total_memory_size());
	for (auto const &job : prototypes.jobs)
		block.insert(block.end(), job.begin(), job.end());

	v1::create_remote_mmaps_with_data_request request;
	request.id = m_runtime_state.get_next_api_message_seq_num();
	request.buffers.assign(count, block);
	return definitions_of(api::request_or_throw(std::move(request), companion_context(m_runtime_state),
						    m_companion_limits.request.count(),
						    "Failed to create remote mmaps for input buffers: "));
}

std::vector<utility::remote_mmap_definition> benchmark::create_remote_output_mmaps(uint32_t count, uint32_t size)
{
	v1::create_uninitialized_remote_mmaps_request request;
	request.id = m_runtime_state.get_next_api_message_seq_num();
	request.mmap_count = count;
	request.mmap_size = size;
	return definitions_of(api::request_or_throw(request, companion_context(m_runtime_state),
						    m_companion_limits.request.count(),
						    "Failed to create remote mmaps for output buffers: "));
}

// At the end of the run: a refusal is printed, not thrown.
void benchmark::destroy_remote_mmaps()
{
	auto *context = m_runtime_state.get_companion_connection_async();
	if (context == nullptr)
		return;
	api::request_or_print(v1::destroy_remote_mmaps_request{m_runtime_state.get_next_api_message_seq_num()}, *context,
			      m_companion_limits.request.count(), "Failed to destroy remote mmaps");
}

} // namespace kova::bench
