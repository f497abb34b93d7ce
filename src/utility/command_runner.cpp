#include "utility/command_runner.hpp"

#include "impl/shell_process.hpp"
#include "kova_exception.hpp"

#include <regex>

namespace kova::bench::utility::detail {
namespace {

constexpr const char *which_program = "/usr/bin/which";

kova::optional<std::string> run_program(const std::string &path, const std::vector<std::string> &arguments,
					std::chrono::milliseconds time_limit)
{
	// A tool's own children are ended with it when it runs past its time.
	auto process = make_process(path, arguments, process_group::own);
	if (!run_to_completion(*process, time_limit) || process->execution_failed())
		return {};
	std::string output;
	for (auto line = process->get_line_stdout(); line.has_value(); line = process->get_line_stdout())
		output += *line + "\n";
	if (output.empty())
		return {};
	return output;
}

} // namespace

kova::optional<std::string> run_command(const std::string &name, const std::vector<std::string> &arguments,
					std::chrono::milliseconds time_limit)
{
	std::string path;
	auto which = make_process(which_program, {name}, process_group::own);
	if (run_to_completion(*which, time_limit)) {
		auto line = which->get_line_stdout();
		if (!line.has_value() || line->empty())
			KOVA_THROW(KOVA_ERROR_NOT_FOUND, "Cannot find command: " + name);
		path = *line;
	}
	if (path.empty())
		return {};
	return run_program(path, arguments, time_limit);
}

kova::optional<std::string> run_available_command(const std::string &name, const std::vector<std::string> &arguments)
{
	try {
		return run_command(name, arguments);
	} catch (const kova::exception &e) {
		if (e.code() != KOVA_ERROR_NOT_FOUND)
			throw;
		return {};
	}
}

kova::optional<std::string> regex_match(const std::string &text, const std::string &expression, int group)
{
	try {
		std::regex const pattern{expression, std::regex::ECMAScript};
		size_t const end = std::min(text.size(), regex_text_limit);
		size_t begin = 0;
		while (begin < end) {
			size_t newline = text.find('\n', begin);
			if (newline == std::string::npos || newline >= end)
				newline = end;
			std::string const line =
				text.substr(begin, std::min(newline - begin, regex_line_limit)) + (newline < end ? "\n" : "");
			std::smatch match;
			if (std::regex_search(line, match, pattern)) {
				if (group < 0 || static_cast<size_t>(group) >= match.size() || !match[group].matched)
					return std::string{};
				return match[group].str();
			}
			begin = newline + 1;
		}
	} catch (const std::regex_error &) {
	}
	return {};
}

kova::optional<std::string> run_command_regex_match(const std::string &name, const std::vector<std::string> &arguments,
						    const std::string &expression)
{
	auto const output = run_available_command(name, arguments);
	if (!output.has_value())
		return {};
	return regex_match(*output, expression, 1);
}

void insert_or_replace(fact_map &facts, const std::string &key, const kova::optional<std::string> &value)
{
	facts[key] = value.has_value() ? *value : "N/A";
}

std::vector<std::string> split_lines(const std::string &text)
{
	std::vector<std::string> lines;
	size_t begin = 0;
	while (begin < text.size()) {
		size_t newline = text.find('\n', begin);
		if (newline == std::string::npos)
			newline = text.size();
		lines.push_back(text.substr(begin, newline - begin));
		begin = newline + 1;
	}
	return lines;
}

kova::optional<std::string> whole_output(const kova::optional<std::string> &output)
{
	if (!output.has_value())
		return {};
	std::string text = *output;
	if (!text.empty() && text.back() == '\n')
		text.pop_back();
	return text;
}

} // namespace kova::bench::utility::detail
