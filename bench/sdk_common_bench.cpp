// The stand-in SDK's floor: nanoseconds per completion for one context whose completion callback
// resubmits its task, driven by a loop of kova_pe_progress. Every figure the benchmark reports
// includes this cost.
#include "support/copy_library.hpp"

#include <kova/buf.h>
#include <kova/mmap.h>
#include <kova/test_control.h>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

using namespace kova::sdk_test;

struct noop_task {
	kova_task task;
};

struct noop_instance {
	kova_ctx ctx;
	kova::sdk::task_kind noop;
};

kova_error run_noop(kova_task *)
{
	return KOVA_SUCCESS;
}

constexpr kova::sdk::ctx_ops noop_ops{"bench_noop", nullptr, nullptr};

void resubmit(kova_task *task, kova_data, kova_data)
{
	while (kova_task_submit(task) == KOVA_ERROR_AGAIN) {
	}
}

void resubmit_after_reset(kova_task *task, kova_data, kova_data)
{
	kova_buf_reset_data_len(task->dst);
	while (kova_task_submit(task) == KOVA_ERROR_AGAIN) {
	}
}

// Drives progress and reports the time per completion.
void run_loop(benchmark::State &state, kova_pe *pe)
{
	uint64_t completions = 0;
	kova_test_counters before{};
	kova_test_pe_get_counters(pe, &before);
	for (auto _ : state)
		benchmark::DoNotOptimize(kova_pe_progress(pe));
	kova_test_counters after{};
	kova_test_pe_get_counters(pe, &after);
	completions = after.completions - before.completions;
	state.SetItemsProcessed(static_cast<int64_t>(completions));
	state.counters["per_completion"] =
		benchmark::Counter(static_cast<double>(completions), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Tasks that do nothing: the kernel's own cost (submit, queue, deliver, callback).
void BM_noop_completion(benchmark::State &state)
{
	auto const num_tasks = static_cast<uint32_t>(state.range(0));
	pe_owner pe = new_pe();
	noop_instance instance{};
	kova::sdk::ctx_init(&instance.ctx, &noop_ops, nullptr);
	kova::sdk::task_kind_init<noop_task>(&instance.noop, &instance.ctx, "noop", run_noop, 0);
	kova::sdk::task_kind_configure(&instance.noop, resubmit, resubmit, num_tasks);
	kova_pe_connect_ctx(pe.get(), &instance.ctx);
	kova_ctx_start(&instance.ctx);
	std::vector<kova_task *> tasks(num_tasks);
	for (kova_task *&task : tasks) {
		kova::sdk::task_alloc(&instance.noop, kova_data{.u64 = 1}, nullptr, nullptr, &task);
		kova_task_submit(task);
	}

	run_loop(state, pe.get());

	// A stopping context refuses the callbacks' resubmissions, so the tasks drain.
	kova_ctx_stop(&instance.ctx);
	while (kova_pe_progress(pe.get()) != 0) {
	}
	for (kova_task *task : tasks)
		kova_task_free(task);
	kova::sdk::ctx_release(&instance.ctx);
}
BENCHMARK(BM_noop_completion)->Arg(1)->Arg(64)->Arg(1024);

// 64-byte copies through buffer lists, with the output reset before each resubmission as the
// run loops do.
void BM_copy64_completion(benchmark::State &state)
{
	auto const num_tasks = static_cast<uint32_t>(state.range(0));
	pe_owner pe = new_pe();
	std::vector<std::byte> memory(num_tasks * 128u);
	kova_mmap *mmap = nullptr;
	kova_buf_inventory *inventory = nullptr;
	kova_mmap_create(&mmap);
	kova_mmap_set_memrange(mmap, memory.data(), memory.size());
	kova_mmap_start(mmap);
	kova_buf_inventory_create(2 * num_tasks, &inventory);
	kova_buf_inventory_start(inventory);

	copy_instance *lib = copy_create();
	copy_set_conf(lib, resubmit_after_reset, resubmit_after_reset, num_tasks);
	kova_pe_connect_ctx(pe.get(), copy_as_ctx(lib));
	kova_ctx_start(copy_as_ctx(lib));
	std::vector<kova_buf *> bufs;
	std::vector<copy_task *> tasks(num_tasks);
	for (uint32_t i = 0; i < num_tasks; ++i) {
		std::byte *at = memory.data() + i * 128u;
		kova_buf *src = nullptr;
		kova_buf *dst = nullptr;
		kova_buf_inventory_buf_get_by_args(inventory, mmap, at, 64, at, 64, &src);
		kova_buf_inventory_buf_get_by_args(inventory, mmap, at + 64, 64, at + 64, 0, &dst);
		bufs.push_back(src);
		bufs.push_back(dst);
		copy_alloc_init(lib, src, dst, kova_data{.u64 = 1}, &tasks[i]);
		kova_task_submit(copy_as_task(tasks[i]));
	}

	run_loop(state, pe.get());

	kova_ctx_stop(copy_as_ctx(lib));
	while (kova_pe_progress(pe.get()) != 0) {
	}
	for (copy_task *task : tasks)
		kova_task_free(copy_as_task(task));
	copy_destroy(lib);
	for (kova_buf *buf : bufs)
		kova_buf_dec_refcount(buf, nullptr);
	kova_buf_inventory_destroy(inventory);
	kova_mmap_destroy(mmap);
}
BENCHMARK(BM_copy64_completion)->Arg(1)->Arg(64)->Arg(1024);

} // namespace
