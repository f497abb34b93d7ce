#include "stats/logger.hpp"

#include "kova_exception.hpp"
#include "utility/file_utils.hpp"
#include "utility/string_utils.hpp"

#include <algorithm>
#include <utility>

namespace kova::bench::stats {
namespace {

bool has_flags(const value_provider &provider, uint32_t flags) { return (provider.flags & flags) != 0; }

std::string quoted(const std::string &text) { return "\"" + text + "\""; }

// Appends the columns selected by one entry of the selection.
void find_matching_value_providers(const std::string &entry, const thread_id &thread,
				   const std::vector<value_provider> &providers, std::vector<logger::record> &records)
{
	if (entry.empty())
		return;

	if (entry.back() == '*') {
		std::string const prefix = entry.substr(0, entry.size() - 1);
		for (auto const &provider : providers) {
			if (!provider.id.starts_with(prefix))
				continue;
			if (thread.has_value() && !has_flags(provider, value_provider::per_thread_value))
				continue;
			records.push_back({provider.id, &provider, thread});
		}
		return;
	}

	if (entry.back() < '0' || entry.back() > '9') {
		auto const found = std::find_if(providers.begin(), providers.end(),
						[&](auto const &provider) { return provider.id == entry; });
		if (found == providers.end())
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unknown stat id: " + quoted(entry));
		if (thread.has_value() && !has_flags(*found, value_provider::per_thread_value)) {
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE,
				   "Tried to use stat " + quoted(found->id) + " with thread index " +
					   std::to_string(*thread) + " but the stats does not support per thread values.");
		}
		records.push_back({found->id, &*found, thread});
		return;
	}

	if (thread.has_value()) {
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Cannot nest thread id values: " + quoted(entry) +
							     " within thread id: " + std::to_string(*thread));
	}
	auto const dot = entry.rfind('.');
	if (dot == std::string::npos)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid stat name matcher: " + quoted(entry));
	std::string const index_text = entry.substr(dot + 1);
	auto const index = utility::strto<unsigned int>(index_text);
	if (!index.has_value())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid thread id: " + quoted(index_text));
	find_matching_value_providers(entry.substr(0, dot), thread_id{index->value}, providers, records);
}

void remove_deselected(const std::vector<std::string> &deselected, std::vector<logger::record> &records)
{
	for (auto const &entry : deselected) {
		if (entry.empty())
			continue;
		if (entry.back() == '*') {
			std::string const prefix = entry.substr(0, entry.size() - 1);
			std::erase_if(records, [&](auto const &r) { return r.name.starts_with(prefix); });
		} else {
			std::erase_if(records, [&](auto const &r) { return r.name == entry; });
		}
	}
}

// Moves the records with any of the flags out of records, keeping both orders.
std::vector<logger::record> take_records_with(uint32_t flags, std::vector<logger::record> &records)
{
	std::vector<logger::record> taken;
	std::vector<logger::record> kept;
	for (auto &r : records)
		(has_flags(*r.provider, flags) ? taken : kept).push_back(std::move(r));
	records = std::move(kept);
	return taken;
}

} // namespace

logger::logger(formatter format, const configuration &config, const data_store &store,
	       const std::vector<value_provider> &providers)
	: m_formatter{std::move(format)}
{
	// Columns are chosen before the file is opened, so that a bad selection
	// never truncates an existing file.
	if (config.selected_stats.empty()) {
		m_records.reserve(providers.size());
		for (auto const &provider : providers)
			m_records.push_back({provider.id, &provider, {}});
	} else {
		for (auto const &entry : config.selected_stats)
			find_matching_value_providers(entry, {}, providers, m_records);
	}
	remove_deselected(config.deselected_stats, m_records);

	std::string const path = utility::append_file_path(config.directory, config.file_name.value_or(std::string{}));
	auto const mode = config.open_mode == file_mode::append ? std::ios::out | std::ios::app | std::ios::ate
								: std::ios::out | std::ios::trunc;
	m_out.open(path, mode);
	if (!m_out.is_open())
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "Unable to open file: " + quoted(path));
	m_path = path;
	bool const new_file = m_out.tellp() == std::streampos{0};

	if (config.separate_fixed_values) {
		auto const fixed = take_records_with(value_provider::fixed_config_value, m_records);
		if (new_file && !fixed.empty()) {
			write_header("configuration", fixed);
			write_values(store, 0, fixed);
		}
	}
	if (config.separate_environment_values) {
		auto const environment = take_records_with(
			value_provider::dpu_environment_value | value_provider::host_environment_value, m_records);
		if (new_file && !environment.empty()) {
			write_header("environment", environment);
			write_values(store, 0, environment);
		}
	}
	if (new_file) {
		write_header("data", m_records);
		flush_or_throw();
	}
}

void logger::flush_or_throw()
{
	m_out.flush();
	if (!m_out)
		KOVA_THROW(KOVA_ERROR_IO_FAILED, "Unable to write file: " + quoted(m_path));
}

void logger::write_row(const data_store &store, permutation_id id) { write_values(store, id, m_records); }

void logger::write_header(const std::string &segment, const std::vector<record> &records)
{
	std::vector<std::string> names;
	names.reserve(records.size());
	for (auto const &r : records)
		names.push_back(r.thread.has_value() ? r.name + std::to_string(*r.thread) : r.name);
	m_out << m_formatter.start_segment(segment, names) << "\n";
}

void logger::write_values(const data_store &store, permutation_id id, const std::vector<record> &records)
{
	std::vector<std::string> values;
	values.reserve(records.size());
	for (auto const &r : records)
		values.push_back(r.provider->getter(store, id, r.thread));
	m_out << m_formatter.write_row(values) << "\n";
	flush_or_throw();
}

} // namespace kova::bench::stats
