// A test-only offload library built on the stand-in common library's context/task kernel: one
// task kind that appends its source list to its destination list, as a DMA copy would. Shared by
// the tests that need real contexts and tasks before any offload library exists.
#pragma once

#include <kova_internal/buf_data.hpp>
#include <kova_internal/ctx_kernel.hpp>

#include <kova/ctx.h>
#include <kova/error.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <memory>

namespace kova::sdk_test {

struct copy_task {
	kova_task task;
	uint32_t executions; // how often this task ran
};

struct copy_instance {
	kova_ctx ctx;
	kova::sdk::task_kind copy;
};

inline kova_error run_copy(kova_task *task)
{
	++kova::sdk::task_cast<copy_task>(task)->executions;
	return kova::sdk::list_copy(task->src, task->dst);
}

// How many times a copy context was stopped (its resources released).
inline unsigned copy_stop_count = 0;

inline void copy_on_stop(kova_ctx * /*ctx*/)
{
	++copy_stop_count;
}

inline constexpr kova::sdk::ctx_ops copy_ops{"test_copy", nullptr, copy_on_stop};

// The library's create call: max_source_len 0 leaves the sources unchecked.
inline copy_instance *copy_create(uint64_t max_source_len = 0)
{
	auto *instance = new copy_instance{};
	kova::sdk::ctx_init(&instance->ctx, &copy_ops, nullptr);
	kova::sdk::task_kind_init<copy_task>(&instance->copy, &instance->ctx, "copy", run_copy, max_source_len);
	return instance;
}

inline kova_error copy_destroy(copy_instance *instance)
{
	kova_error const err = kova::sdk::ctx_release(&instance->ctx);
	if (err == KOVA_SUCCESS)
		delete instance;
	return err;
}

inline kova_error copy_set_conf(copy_instance *instance, kova_task_completion_cb_t ok, kova_task_completion_cb_t error,
				uint32_t num_tasks)
{
	return kova::sdk::task_kind_configure(&instance->copy, ok, error, num_tasks);
}

inline kova_error copy_alloc_init(copy_instance *instance, const kova_buf *src, kova_buf *dst, kova_data user_data,
				  copy_task **task)
{
	kova_task *taken = nullptr;
	kova_error const err = kova::sdk::task_alloc(&instance->copy, user_data, src, dst, &taken);
	if (err == KOVA_SUCCESS) {
		*task = kova::sdk::task_cast<copy_task>(taken);
		(*task)->executions = 0;
	}
	return err;
}

inline kova_ctx *copy_as_ctx(copy_instance *instance)
{
	return &instance->ctx;
}

inline kova_task *copy_as_task(copy_task *task)
{
	return task != nullptr ? &task->task : nullptr;
}

struct pe_closer {
	void operator()(kova_pe *pe) const { kova_pe_destroy(pe); }
};
using pe_owner = std::unique_ptr<kova_pe, pe_closer>;

inline pe_owner new_pe()
{
	kova_pe *pe = nullptr;
	return kova_pe_create(&pe) == KOVA_SUCCESS ? pe_owner{pe} : pe_owner{};
}

} // namespace kova::sdk_test
