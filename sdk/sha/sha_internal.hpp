// The SHA library's instance, its hash task and the task's execution function.
#pragma once

#include <kova_internal/ctx_kernel.hpp>

#include <kova/sha.h>

#include <cstdint>

struct kova_sha_task_hash {
	kova_task task;
	uint32_t algorithm;
};

struct kova_sha {
	kova_ctx ctx;
	kova::sdk::task_kind hash;
};

namespace kova::sdk::sha {

// The default of the maximum source size query.
inline constexpr uint64_t src_size_limit = 2 * 1024 * 1024;

// Digest size of an algorithm of enum kova_sha_algorithm; 0 for any other value.
inline uint32_t digest_size(uint32_t algorithm) noexcept
{
	switch (algorithm) {
	case KOVA_SHA_ALGORITHM_SHA1:
		return 20;
	case KOVA_SHA_ALGORITHM_SHA256:
		return 32;
	case KOVA_SHA_ALGORITHM_SHA512:
		return 64;
	default:
		return 0;
	}
}

kova_error run_hash(kova_task *task);

} // namespace kova::sdk::sha
