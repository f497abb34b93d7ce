// Running the machine's tools for environment information and picking values
// out of their output. Internal to the environment-information gatherers.
#pragma once

#include "kova_optional.hpp"

#include <chrono>
#include <string>
#include <unordered_map>
#include <vector>

namespace kova::bench::utility::detail {

// Facts about one machine by dotted name; "N/A" marks a fact that could not be learnt.
using fact_map = std::unordered_map<std::string, std::string>;

// How long one tool may run before it is aborted and counts as failed.
inline constexpr std::chrono::seconds command_time_limit{30};
// Regular expressions see at most this much of a text, one line at a time,
// each line cut to the line limit (std::regex recurses once per character).
inline constexpr size_t regex_text_limit = 256 * 1024;
inline constexpr size_t regex_line_limit = 4096;

// Runs the tool that /usr/bin/which finds for the name (so PATH decides) with
// the arguments, without a shell. Returns its standard output, every line
// ending in "\n"; empty when the tool could not be run, ended with a failure,
// ran out of time or printed nothing. Throws KOVA_ERROR_NOT_FOUND "Cannot find command: <name>"
// when which finds no such tool.
kova::optional<std::string> run_command(const std::string &name, const std::vector<std::string> &arguments,
					std::chrono::milliseconds time_limit = command_time_limit);

// As run_command, with a tool that cannot be found giving nothing.
kova::optional<std::string> run_available_command(const std::string &name, const std::vector<std::string> &arguments);

// The given group of the first match of the ECMAScript expression, searched
// line by line (each line with its "\n"); "" when the group took no part in
// the match. Empty when nothing matches or the expression is invalid.
kova::optional<std::string> regex_match(const std::string &text, const std::string &expression, int group);

// Group 1 of the expression in the output of an available tool.
kova::optional<std::string> run_command_regex_match(const std::string &name, const std::vector<std::string> &arguments,
						    const std::string &expression);

// Sets the key to the value, or to "N/A" when there is none.
void insert_or_replace(fact_map &facts, const std::string &key, const kova::optional<std::string> &value);

// The lines of a text, without their newlines.
std::vector<std::string> split_lines(const std::string &text);

// The output without its final newline, for values that are a tool's whole output.
kova::optional<std::string> whole_output(const kova::optional<std::string> &output);

} // namespace kova::bench::utility::detail
