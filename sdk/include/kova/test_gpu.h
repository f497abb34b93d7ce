/*
 * Test control of the emulated GPU (common library): the parameter blocks the kernel launchers received and the
 * kernels running. For tests only; the system never includes this header.
 */
#ifndef KOVA_TEST_GPU_H
#define KOVA_TEST_GPU_H

#include <kova/types.h>

/* Non-zero: every launcher records the parameter block it receives (the last one per launcher); 0 stops and
 * forgets the records. */
KOVA_EXPORT void kova_test_gpu_record_params(uint8_t enable);

/*
 * Copies the last block recorded by the launcher (its function name, "kova_bench_rhun_start_nop_kernel") into
 * buffer, at most len bytes; returns the block's size, 0 when none was recorded.
 */
KOVA_EXPORT size_t kova_test_gpu_recorded_params(const char *launcher, void *buffer, size_t len);

/* Kernels launched and not yet ended, in the whole process. */
KOVA_EXPORT uint32_t kova_test_gpu_running_kernels(void);

#endif
