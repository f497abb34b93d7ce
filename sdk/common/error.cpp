// Names and descriptions of the stand-in's error codes.
#include <kova/error.h>

#include <algorithm>
#include <cstring>

namespace {

struct error_text {
	const char *name;
	const char *descr;
};

constexpr error_text error_texts[] = {
	{"KOVA_SUCCESS", "Success"},
	{"KOVA_ERROR_UNKNOWN", "Unknown error"},
	{"KOVA_ERROR_NOT_PERMITTED", "Operation not permitted"},
	{"KOVA_ERROR_IN_USE", "Resource is in use"},
	{"KOVA_ERROR_NOT_SUPPORTED", "Operation not supported"},
	{"KOVA_ERROR_AGAIN", "Resource temporarily unavailable, try again"},
	{"KOVA_ERROR_INVALID_VALUE", "Invalid input"},
	{"KOVA_ERROR_NO_MEMORY", "Memory or resources exhausted"},
	{"KOVA_ERROR_INITIALIZATION", "Initialization failed"},
	{"KOVA_ERROR_TIME_OUT", "Operation timed out"},
	{"KOVA_ERROR_SHUTDOWN", "Shutdown in progress"},
	{"KOVA_ERROR_CONNECTION_RESET", "Connection reset by peer"},
	{"KOVA_ERROR_CONNECTION_ABORTED", "Connection aborted"},
	{"KOVA_ERROR_CONNECTION_INPROGRESS", "Connection in progress"},
	{"KOVA_ERROR_NOT_CONNECTED", "Not connected"},
	{"KOVA_ERROR_NO_LOCK", "Unable to acquire lock"},
	{"KOVA_ERROR_NOT_FOUND", "Resource not found"},
	{"KOVA_ERROR_IO_FAILED", "Input/output operation failed"},
	{"KOVA_ERROR_BAD_STATE", "Bad state"},
	{"KOVA_ERROR_UNSUPPORTED_VERSION", "Unsupported version"},
	{"KOVA_ERROR_OPERATING_SYSTEM", "Operating system call failed"},
	{"KOVA_ERROR_DRIVER", "Driver call failed"},
	{"KOVA_ERROR_UNEXPECTED", "Unexpected failure"},
	{"KOVA_ERROR_ALREADY_EXIST", "Resource already exists"},
	{"KOVA_ERROR_FULL", "Resource is full"},
	{"KOVA_ERROR_EMPTY", "Resource is empty"},
	{"KOVA_ERROR_IN_PROGRESS", "Operation in progress"},
	{"KOVA_ERROR_TOO_BIG", "Data too big"},
};

constexpr error_text unrecognized{"KOVA_ERROR_UNRECOGNIZED", "Unrecognized error code"};

const error_text &lookup(kova_error error)
{
	return error < sizeof(error_texts) / sizeof(error_texts[0]) ? error_texts[error] : unrecognized;
}

} // namespace

KOVA_EXPORT const char *kova_error_get_name(kova_error error)
{
	return lookup(error).name;
}

KOVA_EXPORT const char *kova_error_get_descr(kova_error error)
{
	return lookup(error).descr;
}

KOVA_EXPORT const char *priv_kova_strerror(int errnum, char *buf, size_t buflen)
{
	if (buf == nullptr || buflen == 0)
		return nullptr;
	// GNU strerror_r may return a static text instead of filling buf.
	const char *text = strerror_r(errnum, buf, buflen);
	if (text != buf) {
		size_t const length = std::min(std::strlen(text), buflen - 1);
		std::memcpy(buf, text, length);
		buf[length] = '\0';
	}
	return buf;
}
