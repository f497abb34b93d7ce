/*
 * Stand-in for the GPU runtime library (librhunrt.so). The system only checks that it can be loaded; it
 * exports nothing. The emulated GPU itself (memory and kernel launches on CPU threads) lives in the common
 * library's internals (kova_internal/rhun_runtime.hpp), which the GPU libraries use.
 */
#include <kova/types.h>

typedef int kova_rhunrt_exports_nothing;
