// Parsing of a command line by the stand-in argument parser: the whole line is
// checked first, then the callbacks run in command-line order.
#include "argp_state.hpp"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kova_argp_internal {

namespace {

// One option occurrence, checked and converted, waiting for its callback.
struct occurrence {
	kova_argp_param_cb_t callback;
	kova_argp_type type;
	std::string name;
	std::string text; // the value as written
	int int_value = 0;
	bool bool_value = false;
};

class failure {
public:
	explicit failure(std::string message) : m_message{std::move(message)} {}
	[[nodiscard]] const std::string &message() const { return m_message; }

private:
	std::string m_message;
};

// Decimal or "0x" hexadecimal with an optional sign; the whole text, within int.
bool parse_int(const std::string &text, int &out)
{
	std::size_t pos = 0;
	bool negative = false;
	if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) {
		negative = text[pos] == '-';
		++pos;
	}
	unsigned base = 10;
	if (text.size() - pos > 2 && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
		base = 16;
		pos += 2;
	}
	if (pos == text.size())
		return false;
	long long magnitude = 0;
	long long const limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
	for (; pos < text.size(); ++pos) {
		char const c = text[pos];
		unsigned digit;
		if (c >= '0' && c <= '9')
			digit = static_cast<unsigned>(c - '0');
		else if (base == 16 && c >= 'a' && c <= 'f')
			digit = static_cast<unsigned>(c - 'a' + 10);
		else if (base == 16 && c >= 'A' && c <= 'F')
			digit = static_cast<unsigned>(c - 'A' + 10);
		else
			return false;
		magnitude = magnitude * base + digit;
		if (magnitude > limit)
			return false;
	}
	out = static_cast<int>(negative ? -magnitude : magnitude);
	return true;
}

bool parse_bool(const std::string &text, bool &out)
{
	if (text == "true" || text == "yes" || text == "1") {
		out = true;
		return true;
	}
	if (text == "false" || text == "no" || text == "0") {
		out = false;
		return true;
	}
	return false;
}

std::string quoted(const std::string &text)
{
	return "'" + text + "'";
}

class command_line {
public:
	command_line(const parser &state, int argc, char **argv) : m_state{state}, m_argc{argc}, m_argv{argv} {}

	// Checks every argument; answers help and version as they come.
	std::vector<occurrence> check(const std::string &program_name)
	{
		std::vector<occurrence> found;
		std::vector<unsigned> counts(m_state.params.size(), 0);
		for (int i = 1; i < m_argc; ++i) {
			std::string const arg = m_argv[i] != nullptr ? m_argv[i] : "";
			if (arg == "--") {
				if (i + 1 < m_argc)
					throw failure{"unexpected argument " + quoted(m_argv[i + 1])};
				break;
			}
			if (arg == "-h" || arg == "--help") {
				print_help(m_state, program_name);
				std::fflush(stdout);
				std::exit(0);
			}
			if ((arg == "-v" || arg == "--version") && m_state.version_callback != nullptr) {
				m_version_requested = true;
				return found;
			}
			if (arg.size() > 2 && arg.compare(0, 2, "--") == 0)
				found.push_back(long_option(arg, i, counts));
			else if (arg.size() > 1 && arg[0] == '-')
				found.push_back(short_option(arg, i, counts));
			else
				throw failure{"unexpected argument " + quoted(arg)};
		}
		for (std::size_t p = 0; p < m_state.params.size(); ++p) {
			if (m_state.params[p]->mandatory && counts[p] == 0)
				throw failure{"missing mandatory option " + quoted(display_name(*m_state.params[p]))};
		}
		return found;
	}

	[[nodiscard]] bool version_requested() const { return m_version_requested; }

private:
	occurrence long_option(const std::string &arg, int &i, std::vector<unsigned> &counts)
	{
		std::size_t const eq = arg.find('=');
		std::string const name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
		std::size_t const index = find([&](const kova_argp_param &p) { return p.has_long_name && p.long_name == name; });
		if (index == npos)
			throw failure{"unrecognized option " + quoted("--" + name)};
		const kova_argp_param &param = *m_state.params[index];
		if (eq != std::string::npos)
			return make(param, index, counts, arg.substr(eq + 1), true);
		return make_with_next(param, index, counts, i);
	}

	occurrence short_option(const std::string &arg, int &i, std::vector<unsigned> &counts)
	{
		std::string const name = arg.substr(1, 1);
		std::size_t const index = find([&](const kova_argp_param &p) { return p.has_short_name && p.short_name == name; });
		if (index == npos)
			throw failure{"unrecognized option " + quoted("-" + name)};
		const kova_argp_param &param = *m_state.params[index];
		if (arg.size() > 2) {
			if (param.type == KOVA_ARGP_TYPE_BOOLEAN)
				throw failure{"option " + quoted(display_name(param)) + " takes no value"};
			return make(param, index, counts, arg.substr(2), true);
		}
		return make_with_next(param, index, counts, i);
	}

	occurrence make_with_next(const kova_argp_param &param, std::size_t index, std::vector<unsigned> &counts, int &i)
	{
		if (param.type == KOVA_ARGP_TYPE_BOOLEAN)
			return make(param, index, counts, "", false);
		if (i + 1 >= m_argc || m_argv[i + 1] == nullptr)
			throw failure{"option " + quoted(display_name(param)) + " requires a value"};
		++i;
		return make(param, index, counts, m_argv[i], true);
	}

	static occurrence make(const kova_argp_param &param, std::size_t index, std::vector<unsigned> &counts,
			       const std::string &text, bool has_value)
	{
		if (++counts[index] > 1 && !param.multiple)
			throw failure{"option " + quoted(display_name(param)) + " may be given only once"};
		occurrence found{param.callback, param.type, display_name(param), text};
		switch (param.type) {
		case KOVA_ARGP_TYPE_INT:
			if (!parse_int(text, found.int_value))
				throw failure{"invalid integer value " + quoted(text) + " for option " + quoted(found.name)};
			break;
		case KOVA_ARGP_TYPE_BOOLEAN:
			found.bool_value = true;
			if (has_value && !parse_bool(text, found.bool_value))
				throw failure{"invalid boolean value " + quoted(text) + " for option " + quoted(found.name)};
			break;
		default:
			break;
		}
		return found;
	}

	static constexpr std::size_t npos = static_cast<std::size_t>(-1);

	template <typename Match>
	std::size_t find(Match match) const
	{
		for (std::size_t p = 0; p < m_state.params.size(); ++p) {
			if (match(*m_state.params[p]))
				return p;
		}
		return npos;
	}

	const parser &m_state;
	int m_argc;
	char **m_argv;
	bool m_version_requested = false;
};

std::string base_name(const char *path)
{
	if (path == nullptr || *path == '\0')
		return "kova";
	const char *slash = std::strrchr(path, '/');
	return slash != nullptr ? slash + 1 : path;
}

void report(const std::string &program_name, const std::string &message)
{
	std::fprintf(stderr, "%s: %s\n", program_name.c_str(), message.c_str());
}

} // namespace

} // namespace kova_argp_internal

KOVA_EXPORT kova_error kova_argp_start(int argc, char **argv)
{
	using namespace kova_argp_internal;
	parser const *state = current_parser();
	if (state == nullptr)
		return KOVA_ERROR_BAD_STATE;
	if (argc < 1 || argv == nullptr)
		return KOVA_ERROR_INVALID_VALUE;

	std::string program_name;
	std::vector<occurrence> found;
	bool version_requested = false;
	try {
		program_name = state->program_name.empty() ? base_name(argv[0]) : state->program_name;
		command_line line{*state, argc, argv};
		found = line.check(program_name);
		version_requested = line.version_requested();
	} catch (const failure &error) {
		report(program_name, error.message());
		return KOVA_ERROR_INVALID_VALUE;
	} catch (const std::bad_alloc &) {
		return KOVA_ERROR_NO_MEMORY;
	}

	// Callbacks may throw; nothing below holds state that would need undoing.
	void *const config = state->config;
	if (version_requested) {
		kova_error const result = state->version_callback(nullptr, config);
		if (result != KOVA_SUCCESS)
			return result;
		std::fflush(stdout);
		std::exit(0);
	}
	for (occurrence &item : found) {
		void *value = nullptr;
		switch (item.type) {
		case KOVA_ARGP_TYPE_INT:
			value = &item.int_value;
			break;
		case KOVA_ARGP_TYPE_BOOLEAN:
			value = &item.bool_value;
			break;
		default:
			value = const_cast<char *>(item.text.c_str());
			break;
		}
		kova_error const result = item.callback(value, config);
		if (result != KOVA_SUCCESS) {
			std::string const what = item.type == KOVA_ARGP_TYPE_BOOLEAN && item.text.empty()
							 ? "option " + quoted(item.name) + " was refused"
							 : "option " + quoted(item.name) + " refused the value " + quoted(item.text);
			report(program_name, what + ": " + kova_error_get_descr(result));
			return result;
		}
	}
	return KOVA_SUCCESS;
}
