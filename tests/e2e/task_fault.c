/* Preloaded into kova_bench by the end-to-end tests: the stand-in SDK completes the first task of
 * the process with an error. */
#include <kova/error.h>
#include <kova/test_control.h>

#include <stddef.h>

__attribute__((constructor)) static void fail_first_task(void)
{
	kova_test_inject_completion_status(NULL, KOVA_ERROR_DRIVER, 1);
}
