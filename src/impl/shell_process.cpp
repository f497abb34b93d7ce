#include "impl/shell_process.hpp"

#include "impl/shell_process_posix.hpp"

namespace kova::bench::utility {
namespace {

// Upper bound of one wait for output; the deadline is checked after each.
constexpr std::chrono::milliseconds collect_interval{100};

} // namespace

std::unique_ptr<shell_process> make_process(const std::string &program, std::vector<std::string> arguments,
					    process_group group)
{
	return std::make_unique<impl::shell_process_posix>(program, std::move(arguments), group);
}

bool run_to_completion(shell_process &process, std::chrono::milliseconds time_limit)
{
	if (!process.launch())
		return false;

	auto const deadline = std::chrono::steady_clock::now() + time_limit;
	for (;;) {
		if (process.join(shell_process::join_mode::non_blocking)) {
			process.collect_output(std::chrono::milliseconds{0});
			return true;
		}
		auto const now = std::chrono::steady_clock::now();
		if (now >= deadline) {
			process.abort();
			return false;
		}
		auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
		process.collect_output(std::min(left + std::chrono::milliseconds{1}, collect_interval));
	}
}

} // namespace kova::bench::utility
