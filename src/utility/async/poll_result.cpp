#include "utility/async/poll_result.hpp"

namespace kova::bench::utility {

const char *to_string(async::poll_result result) noexcept
{
	switch (result) {
	case async::poll_result::has_result:
		return "has result";
	case async::poll_result::in_progress:
		return "in progress";
	case async::poll_result::has_failed:
		return "has failed";
	}
	return "UNKNOWN";
}

} // namespace kova::bench::utility
