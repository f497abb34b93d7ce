// Entry point of kova_bench.
#include <kova/error.h>
#include <kova/version.h>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
	for (int i = 1; i < argc; ++i) {
		if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
			std::printf("kova_bench version: %s\nKOVA SDK version: %s\n", KOVA_VERSION_STRING, kova_version_runtime());
			return 0;
		}
	}
	std::printf("Usage: kova_bench [options]\n");
	return 0;
}
