/* Preloaded into kova_bench by the end-to-end tests: the stand-in SDK's device stalls from the start,
 * delivering no completion. */
#include <kova/test_control.h>

__attribute__((constructor)) static void stall_device(void)
{
	kova_test_hold_completions(1);
}
