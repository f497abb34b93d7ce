/* Preloaded into kova_bench by the end-to-end tests: the stand-in RDMA library refuses the first
 * connect of the process. */
#include <kova/error.h>
#include <kova/test_control.h>

__attribute__((constructor)) static void refuse_first_connect(void)
{
	kova_test_force_result("kova_rdma_connect", KOVA_ERROR_NOT_CONNECTED, 1);
}
