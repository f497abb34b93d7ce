#include "utility/cpu_core_set.hpp"

#include "kova_exception.hpp"
#include "utility/string_utils.hpp"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <vector>

namespace kova::bench::utility {
namespace {

constexpr long max_core = std::numeric_limits<uint16_t>::max();

// Appends cores not seen before; `seen` makes each insertion constant time,
// so a range over all 65536 cores stays linear.
class unique_inserter {
public:
	explicit unique_inserter(std::vector<uint16_t> &cores) : m_cores{cores} {}

	void insert_unique(uint16_t core)
	{
		if (m_seen[core])
			return;
		m_seen[core] = true;
		m_cores.push_back(core);
	}

private:
	std::vector<uint16_t> &m_cores;
	std::vector<bool> m_seen = std::vector<bool>(max_core + 1, false);
};

struct number {
	long value;
	const char *end; // where the conversion stopped
	bool has_digits;
	bool overflow;
};

number read_number(const char *text)
{
	char *end = nullptr;
	errno = 0;
	long const value = std::strtol(text, &end, 0);
	return {value, end, end != text, errno == ERANGE};
}

} // namespace

cpu_core_set unpack_core_mask(uint64_t mask)
{
	cpu_core_set set;
	set.cores.reserve(64);
	for (uint16_t bit = 0; bit < 64; ++bit) {
		if ((mask >> bit) & 1u)
			set.cores.push_back(bit);
	}
	return set;
}

cpu_core_set parse_cpu_core_set_string(const std::string &text)
{
	std::vector<std::string> const items = split(text, ",");
	cpu_core_set set;
	set.cores.reserve(items.size());
	unique_inserter inserter{set.cores};

	for (auto const &item : items) {
		std::string const quoted = "\"" + item + "\"";
		const char *const item_end = item.c_str() + item.size();

		number const first = read_number(item.c_str());
		if (first.overflow)
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid number: " + quoted);
		if (first.value < 0)
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Core may not be negative");
		// An empty item or one without digits ("", "-", "abc") is no core 0.
		if (!first.has_digits || first.value > max_core)
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid number: " + quoted);
		if (first.end == item_end) {
			inserter.insert_unique(static_cast<uint16_t>(first.value));
			continue;
		}
		if (*first.end != '-') {
			// "0x" or "0abc" is a bad number; "1x5" is no range.
			if (first.value == 0)
				KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid number: " + quoted);
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid range: " + quoted);
		}

		number const last = read_number(first.end + 1);
		if (last.overflow)
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid number: " + quoted);
		if (!last.has_digits || last.end != item_end || first.value > last.value)
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid range: " + quoted);
		if (last.value > max_core)
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid number: " + quoted);

		for (long core = first.value; core <= last.value; ++core)
			inserter.insert_unique(static_cast<uint16_t>(core));
	}
	return set;
}

} // namespace kova::bench::utility
