// Entry point of kova_bench_companion.
#include <kova/version.h>

#include <cstdio>

int main()
{
	std::printf("Usage: kova_bench_companion [options]\n");
	return 0;
}
