// Log sources and backends. Only the library's own warnings and errors are written; they are
// rare, so a mutex guards the backends.
#include <kova_internal/sdk_log.hpp>

#include <kova/error.h>
#include <kova/log.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

struct kova_log_backend {
	FILE *stream;
	uint32_t sdk_level;
};

namespace {

struct log_registry {
	std::mutex mutex;
	std::vector<std::unique_ptr<kova_log_backend>> backends;
	std::vector<std::string> sources;
	bool standard_created = false;
};

log_registry &registry()
{
	static log_registry instance;
	return instance;
}

const char *level_tag(uint32_t level) noexcept
{
	switch (level) {
	case KOVA_LOG_LEVEL_CRIT:
		return "CRIT";
	case KOVA_LOG_LEVEL_ERROR:
		return "ERR";
	case KOVA_LOG_LEVEL_WARNING:
		return "WARN";
	case KOVA_LOG_LEVEL_INFO:
		return "INFO";
	case KOVA_LOG_LEVEL_DEBUG:
		return "DBG";
	default:
		return "TRACE";
	}
}

bool valid_level(uint32_t level) noexcept
{
	return level >= KOVA_LOG_LEVEL_DISABLE && level <= KOVA_LOG_LEVEL_TRACE && level % 10 == 0;
}

} // namespace

namespace kova::sdk {

void log(uint32_t level, const char *format, ...) noexcept
{
	char message[512];
	va_list args;
	va_start(args, format);
	int const written = std::vsnprintf(message, sizeof(message), format, args);
	va_end(args);
	if (written < 0)
		return;
	log_registry &r = registry();
	std::lock_guard const lock{r.mutex};
	for (auto const &backend : r.backends) {
		if (backend->sdk_level != KOVA_LOG_LEVEL_DISABLE && level <= backend->sdk_level) {
			std::fprintf(backend->stream, "[kova][%s] %s\n", level_tag(level), message);
			std::fflush(backend->stream);
		}
	}
}

} // namespace kova::sdk

KOVA_EXPORT kova_error kova_log_register_source(const char *name, int *source_id)
{
	if (name == nullptr || *name == '\0' || source_id == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	log_registry &r = registry();
	std::lock_guard const lock{r.mutex};
	try {
		r.sources.emplace_back(name);
	} catch (const std::bad_alloc &) {
		return KOVA_ERROR_NO_MEMORY;
	}
	*source_id = static_cast<int>(r.sources.size() - 1);
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_log_backend_create_standard(void)
{
	log_registry &r = registry();
	std::lock_guard const lock{r.mutex};
	r.standard_created = true;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_log_backend_create_with_file_sdk(FILE *stream, kova_log_backend **backend)
{
	if (stream == nullptr || backend == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	log_registry &r = registry();
	std::lock_guard const lock{r.mutex};
	try {
		r.backends.push_back(std::make_unique<kova_log_backend>(kova_log_backend{stream, KOVA_LOG_LEVEL_ERROR}));
	} catch (const std::bad_alloc &) {
		return KOVA_ERROR_NO_MEMORY;
	}
	*backend = r.backends.back().get();
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_log_backend_set_sdk_level(kova_log_backend *backend, uint32_t level)
{
	if (backend == nullptr || !valid_level(level))
		return KOVA_ERROR_INVALID_VALUE;
	log_registry &r = registry();
	std::lock_guard const lock{r.mutex};
	backend->sdk_level = level;
	return KOVA_SUCCESS;
}
