// The one exception type of the system: an SDK error code plus the throw site.
#pragma once

#include <kova/error.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kova {

class exception : public std::runtime_error {
public:
	exception(kova_error code, const std::string &message, const char *file, const char *function, uint32_t line)
		: std::runtime_error{message}, m_code{code}, m_file{file}, m_function{function}, m_line{line}
	{
	}

	exception(kova_error code, const char *message, const char *file, const char *function, uint32_t line)
		: std::runtime_error{message}, m_code{code}, m_file{file}, m_function{function}, m_line{line}
	{
	}

	~exception() override = default;
	exception(const exception &) = default;
	exception(exception &&) noexcept = default;
	exception &operator=(const exception &) = default;
	exception &operator=(exception &&) noexcept = default;

	[[nodiscard]] kova_error code() const noexcept { return m_code; }
	[[nodiscard]] const char *file() const noexcept { return m_file; }
	[[nodiscard]] const char *function() const noexcept { return m_function; }
	[[nodiscard]] uint32_t line() const noexcept { return m_line; }

private:
	kova_error m_code;
	const char *m_file;
	const char *m_function;
	uint32_t m_line;
};

namespace detail {

// The bare name of the function described by the compiler's pretty name:
// no return type, scope or parameters; for a function template specialisation
// its arguments follow the name ("from_string<kova::bench::utility::byte_unit>").
template <std::size_t N>
struct function_name {
	std::array<char, 2 * N> text{};

	constexpr explicit function_name(const char (&pretty)[N])
	{
		std::string_view const full{pretty, N - 1};
		std::string_view const signature = full.substr(0, full.find(" [with "));

		// The parameter list opens at the first '(' outside template brackets,
		// skipping the one that belongs to "operator()".
		std::size_t open = std::string_view::npos;
		int depth = 0;
		for (std::size_t i = 0; i < signature.size(); ++i) {
			char const c = signature[i];
			if (c == '<')
				++depth;
			else if (c == '>')
				--depth;
			else if (c == '(' && depth <= 0) {
				if (i >= 8 && signature.substr(i - 8, 8) == "operator" && signature.substr(i, 2) == "()") {
					++i;
					continue;
				}
				open = i;
				break;
			}
		}
		std::string_view head = signature.substr(0, open);
		// The name starts after the last "::" or blank outside template brackets.
		std::size_t start = 0;
		depth = 0;
		for (std::size_t i = 0; i < head.size(); ++i) {
			char const c = head[i];
			if (c == '<')
				++depth;
			else if (c == '>')
				--depth;
			else if (depth <= 0 && (c == ' ' || (c == ':' && i + 1 < head.size() && head[i + 1] == ':'))) {
				start = c == ' ' ? i + 1 : i + 2;
				if (c == ':')
					++i;
			}
		}
		std::string_view const name = head.substr(start);
		// The qualification ("ns::cls::") is what follows the return type.
		std::size_t qualifier_start = 0;
		depth = 0;
		for (std::size_t i = 0; i < start; ++i) {
			char const c = head[i];
			if (c == '<')
				++depth;
			else if (c == '>')
				--depth;
			else if (c == ' ' && depth <= 0)
				qualifier_start = i + 1;
		}
		std::string_view const scope = head.substr(qualifier_start, start - qualifier_start);

		std::size_t out = 0;
		for (char c : name)
			text[out++] = c;

		// Template arguments named in "[with A = x; B = y]" that belong to the
		// function itself (not to an enclosing class template or a typedef).
		if (open != std::string_view::npos && full.size() > signature.size()) {
			std::string_view args = full.substr(signature.size() + 7);
			if (!args.empty() && args.back() == ']')
				args.remove_suffix(1);
			bool first = true;
			while (!args.empty()) {
				std::size_t const end = args.find("; ");
				std::string_view const entry = args.substr(0, end);
				std::size_t const eq = entry.find(" = ");
				if (eq != std::string_view::npos) {
					std::string_view const param = entry.substr(0, eq);
					bool const simple = param.find(':') == std::string_view::npos;
					bool const in_scope = contains_word(scope, param);
					if (simple && !in_scope) {
						text[out++] = first ? '<' : ',';
						if (!first)
							text[out++] = ' ';
						// The compiler names argument types relative to the function's
						// namespace; qualify them again.
						std::string_view const type = entry.substr(eq + 3);
						if (type.find("::") == std::string_view::npos && !is_builtin(type)) {
							for (char c : scope)
								text[out++] = c;
						}
						for (char c : type)
							text[out++] = c;
						first = false;
					}
				}
				if (end == std::string_view::npos)
					break;
				args.remove_prefix(end + 2);
			}
			if (!first)
				text[out++] = '>';
		}
		text[out] = '\0';
	}

	[[nodiscard]] constexpr const char *c_str() const { return text.data(); }

private:
	static constexpr bool is_ident(char c)
	{
		return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
	}

	static constexpr bool is_builtin(std::string_view type)
	{
		std::string_view const first = type.substr(0, type.find_first_of(" *&<"));
		for (std::string_view word : {"void", "bool", "char", "signed", "unsigned", "short", "int", "long", "float",
					      "double", "wchar_t", "char8_t", "char16_t", "char32_t", "const", "volatile"}) {
			if (first == word)
				return true;
		}
		return !first.empty() && first[0] >= '0' && first[0] <= '9';
	}

	static constexpr bool contains_word(std::string_view text, std::string_view word)
	{
		for (std::size_t pos = text.find(word); pos != std::string_view::npos; pos = text.find(word, pos + 1)) {
			bool const left = pos == 0 || !is_ident(text[pos - 1]);
			bool const right = pos + word.size() >= text.size() || !is_ident(text[pos + word.size()]);
			if (left && right)
				return true;
		}
		return false;
	}
};

} // namespace detail
} // namespace kova

// Throws kova::exception with the code, the message and the location of this line.
#define KOVA_THROW(code, message)                                                                              \
	do {                                                                                                     \
		static constexpr ::kova::detail::function_name kova_throw_function_{__PRETTY_FUNCTION__};       \
		throw ::kova::exception((code), (message), __FILE__, kova_throw_function_.c_str(), __LINE__);     \
	} while (false)
