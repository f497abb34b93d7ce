// Marks the common library's internal C++ functions that the other stand-in libraries call.
#pragma once

#define KOVA_SDK_INTERNAL __attribute__((visibility("default")))
