// Entry point of kova_bench_companion.
#include "companion/companion_program.hpp"

int main(int argc, char **argv)
{
	using namespace kova::bench::companion;
	return run_companion(argc, argv, worker::shipped_worker_types());
}
