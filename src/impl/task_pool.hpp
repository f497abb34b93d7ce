// A worker thread's job memory, its SDK memory maps and buffers, and the
// fixed pool of task wrappers that link each job's steps into a ring.
#pragma once

#include "aligned_buffer.hpp"
#include "impl/task_wrapper.hpp"
#include "kova_delegated_deleter.hpp"
#include "step/object.hpp"
#include "utility/kova_utils.hpp"
#include "utility/pipeline_info.hpp"
#include "utility/sg_configuration.hpp"

#include <kova/types.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace kova::bench::impl {

// Buffers needed to split buffers of these sizes under the configuration.
// Throws KOVA_ERROR_INVALID_VALUE when a split by count asks for more fragments than a buffer
// has bytes, or the split value is 0.
uint64_t calculate_num_buffers_required_for_scatter_gather_list(const utility::sg_configuration &config,
								 const std::vector<uint64_t> &buffer_sizes);

class task_pool {
public:
	struct memory_region {
		char *start;
		uint64_t length;
	};

	// Builds the inventory and the input and output memory and maps for the
	// pipeline's jobs on the device.
	task_pool(const utility::pipeline_info &info, kova_dev *dev);
	task_pool(task_pool &&other) noexcept;
	task_pool &operator=(task_pool &&other) noexcept;
	task_pool(const task_pool &) = delete;
	task_pool &operator=(const task_pool &) = delete;
	~task_pool();

	[[nodiscard]] kova_mmap *get_input_mmap() const noexcept { return m_input_mmap.get(); }
	[[nodiscard]] kova_mmap *get_output_mmap() const noexcept { return m_output_mmap.get(); }

	// The map's memory range; throws the SDK's code when it cannot be read.
	[[nodiscard]] memory_region get_input_memory_region() const;
	[[nodiscard]] memory_region get_output_memory_region() const;

	// Head buffers, released with the pool. Input buffers hold the whole range
	// as data; output buffers start with no data.
	kova_buf *allocate_input_buffer(char *address, uint64_t length);
	kova_buf *allocate_output_buffer(char *address, uint64_t length);

	// A buffer appended to the head's list; released with the head.
	kova_buf *allocate_chained_input_buffer(kova_buf *head, char *address, uint64_t length);
	kova_buf *allocate_chained_output_buffer(kova_buf *head, char *address, uint64_t length);

	// The next free wrapper, linked after the previous one of the same job
	// (null for a job's first step). Throws KOVA_ERROR_NO_MEMORY when the pool is exhausted.
	task_wrapper *allocate_task_wrapper(const kova_buf *input, kova_buf *output, task_wrapper *previous);

	// Splits every job's buffers, has every step create its task for the job and
	// links the job's wrappers into a ring. Returns each job's first wrapper.
	std::vector<task_wrapper *> create_tasks(const utility::pipeline_info &info,
						 const std::vector<std::unique_ptr<step::object>> &steps);

private:
	// The step's task set for the wrapper's job; a step that runs out of tasks because the pool is
	// smaller than the job count has that cause added to its error.
	static step::task_set create_step_task_set(const utility::pipeline_info &info, step::object &step,
						   const kova_buf *input, kova_buf *output, kova_buf *spare,
						   task_wrapper *wrapper);

	using mmap_owner = std::unique_ptr<kova_mmap, kova::delegated_deleter<kova_mmap>>;
	using inventory_owner = std::unique_ptr<kova_buf_inventory, kova::delegated_deleter<kova_buf_inventory>>;

	kova_buf *get_buffer(kova_mmap *mmap, char *address, uint64_t length, bool whole_range_is_data);
	kova_buf *chain(kova_buf *head, kova_buf *buffer);
	// Keeps a head buffer for release with the pool.
	kova_buf *record(kova_buf *buffer);
	// A head buffer (input: the whole range is data) with the rest of the split chained to it.
	kova_buf *allocate_chain(char *address, uint64_t length, const utility::sg_configuration &split, bool input);
	void release_buffers() noexcept;

	aligned_buffer m_input_memory{0};
	aligned_buffer m_output_memory{0};
	mmap_owner m_input_mmap;
	mmap_owner m_output_mmap;
	inventory_owner m_inventory;
	std::vector<kova_buf *> m_buffers;
	// Never reallocated: tasks carry pointers into it as their user data.
	std::unique_ptr<task_wrapper[]> m_wrappers;
	uint32_t m_wrapper_count = 0;
	uint32_t m_next_wrapper = 0;
};

} // namespace kova::bench::impl
