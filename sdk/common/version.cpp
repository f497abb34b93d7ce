// Run-time version of the stand-in.
#include <kova/version.h>

KOVA_EXPORT const char *kova_version_runtime(void)
{
	return KOVA_VERSION_STRING;
}
