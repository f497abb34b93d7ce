// Feeds argument lists to the kova_bench command line: the input's lines are
// the arguments after the program name. A line "@<b><text>" names an option of
// the option table instead (byte b picks the option and how it is written) with
// <text> as its value. The command line is then parsed, and a configuration
// that is built is validated and printed, as kova_bench does. It may be
// refused with kova::exception; anything else (a crash, a sanitizer report,
// another exception, a parser left behind) is a finding.
#include "configuration_printer.hpp"
#include "configuration_validation.hpp"
#include "impl/configuration_parser.hpp"
#include "kova_exception.hpp"

#include <kova/argp.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t max_arguments = 64;

// Help and version end the process; they are left out of every argument list.
bool ends_the_process(const std::string &arg)
{
	return arg == "-h" || arg == "--help" || arg == "-v" || arg == "--version";
}

bool is_sweep(const std::string &arg)
{
	return arg == "--sweep" || arg.rfind("--sweep=", 0) == 0;
}

void add_option(std::string_view line, std::vector<std::string> &args)
{
	using kova::bench::impl::option_count;
	using kova::bench::impl::option_table;
	auto const pick = static_cast<unsigned char>(line[1]);
	const auto &option = option_table[pick % option_count];
	std::string const value{line.substr(2)};
	switch (pick / option_count % 3) {
	case 0:
		args.push_back(std::string{"--"} + option.long_name);
		if (!value.empty())
			args.push_back(value);
		break;
	case 1:
		args.push_back(std::string{"--"} + option.long_name + "=" + value);
		break;
	default:
		if (option.short_name != nullptr) {
			args.push_back(std::string{"-"} + option.short_name + value);
		} else {
			args.push_back(std::string{"--"} + option.long_name);
			args.push_back(value);
		}
		break;
	}
}

std::vector<std::string> arguments_of(std::string_view input)
{
	std::vector<std::string> args{"kova_bench"};
	while (!input.empty() && args.size() <= max_arguments) {
		std::size_t const end = input.find('\n');
		std::string_view const line = input.substr(0, end);
		if (line.size() >= 2 && line[0] == '@')
			add_option(line, args);
		else
			args.emplace_back(line);
		if (end == std::string_view::npos)
			break;
		input.remove_prefix(end + 1);
	}
	// An argument of a real command line ends at its first NUL.
	for (auto &arg : args)
		arg.resize(std::strlen(arg.c_str()));
	std::erase_if(args, ends_the_process);
	// One sweep at most: the product of two may count up to 2147483647
	// permutations, and kova_bench reserves room for any set that fits in half
	// the machine's memory, far beyond the fuzzer's allocation limit.
	bool swept = false;
	std::erase_if(args, [&](const std::string &arg) { return is_sweep(arg) && std::exchange(swept, true); });
	return args;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::vector<std::string> args = arguments_of({reinterpret_cast<const char *>(data), size});
	std::vector<char *> argv;
	for (auto &arg : args)
		argv.push_back(arg.data());
	argv.push_back(nullptr);

	try {
		auto const config =
			kova::bench::make_configuration_from_cli_args(static_cast<int>(args.size()), argv.data());
		(void)kova::bench::validate(config);
		std::ostringstream printed;
		printed << config;
	} catch (const kova::exception &) {
	}
	// Every way out releases the process's one parser.
	if (kova_argp_destroy() != KOVA_ERROR_BAD_STATE)
		__builtin_trap();
	return 0;
}
