/*
 * Stand-in for the GPU runtime library (librhunrt.so). The system only checks that it can be loaded; it
 * exports nothing, and the GPU libraries built on it answer "not supported" on this machine.
 */
#include <kova/types.h>

typedef int kova_rhunrt_exports_nothing;
