#include "impl/task_pool.hpp"

#include "impl/buffer_chain.hpp"

#include "kova_exception.hpp"

#include <kova/buf.h>
#include <kova/error.h>
#include <kova/mmap.h>

#include <cstring>
#include <utility>

namespace kova::bench::impl {
namespace {

// Access mask of every local map: local read-write, RDMA read and write, PCI read-write.
constexpr uint32_t local_map_permissions = 39;

[[noreturn]] void throw_invalid_split()
{
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Invalid scatter/gather split value for current job size");
}

bool is_single_fragment(const utility::sg_configuration &config)
{
	return config.split == utility::sg_split_type::count && config.value == 1;
}

// Sizes of the fragments of one buffer, back to back from its start.
std::vector<uint64_t> fragment_sizes(uint64_t size, const utility::sg_configuration &config)
{
	if (is_single_fragment(config))
		return {size};
	if (config.value == 0)
		throw_invalid_split();
	uint64_t count = 0;
	uint64_t fragment = 0;
	if (config.split == utility::sg_split_type::count) {
		if (size < config.value)
			throw_invalid_split();
		count = config.value;
		fragment = size / config.value;
	} else {
		count = size / config.value == 0 ? 1 : size / config.value;
		fragment = config.value;
	}
	std::vector<uint64_t> sizes(count, fragment);
	sizes.back() = size - (count - 1) * fragment;
	return sizes;
}

std::vector<uint64_t> input_sizes(const utility::pipeline_info &info)
{
	std::vector<uint64_t> sizes;
	sizes.reserve(info.jobs.size());
	for (auto const &job : info.jobs)
		sizes.push_back(job.size);
	return sizes;
}

std::vector<uint64_t> output_sizes(const utility::pipeline_info &info)
{
	std::vector<uint64_t> sizes;
	sizes.reserve(info.jobs.size());
	for (auto const &job : info.jobs)
		sizes.push_back(job.output_size);
	return sizes;
}

task_pool::memory_region memory_region_of(const kova_mmap *mmap)
{
	void *start = nullptr;
	std::size_t length = 0;
	kova_error const status = kova_mmap_get_memrange(mmap, &start, &length);
	if (status != KOVA_SUCCESS)
		KOVA_THROW(status, "Unable to determine mmap mem range");
	return {static_cast<char *>(start), length};
}

bool region_holds(const task_pool::memory_region &region, uint64_t offset, uint64_t length)
{
	return offset <= region.length && length <= region.length - offset;
}

} // namespace

uint64_t calculate_num_buffers_required_for_scatter_gather_list(const utility::sg_configuration &config,
								 const std::vector<uint64_t> &buffer_sizes)
{
	if (buffer_sizes.empty())
		return 0;
	if (config.value == 0)
		throw_invalid_split();
	uint64_t total = 0;
	for (uint64_t size : buffer_sizes) {
		if (config.split == utility::sg_split_type::count) {
			if (size < config.value)
				throw_invalid_split();
			total += config.value;
		} else {
			total += size > config.value ? (size + config.value - 1) / config.value : 1;
		}
	}
	return total;
}

task_pool::task_pool(const utility::pipeline_info &info, kova_dev *dev)
{
	auto const job_count = static_cast<uint64_t>(info.jobs.size());
	uint64_t const input_buffers =
		is_single_fragment(info.gather)
			? job_count
			: calculate_num_buffers_required_for_scatter_gather_list(info.gather, input_sizes(info));
	// Two output buffers per job, counted over the output sizes.
	uint64_t const output_buffers =
		2 * (is_single_fragment(info.scatter)
			     ? job_count
			     : calculate_num_buffers_required_for_scatter_gather_list(info.scatter, output_sizes(info)));
	m_inventory = utility::make_inventory(input_buffers + output_buffers);

	utility::span<kova_dev *> const devices{&dev, 1};
	if (info.input_remote_mmap_definition != nullptr) {
		m_input_mmap = utility::make_mmap_from_export(*info.input_remote_mmap_definition, dev);
	} else {
		uint64_t total = 0;
		for (auto const &job : info.jobs)
			total += job.size;
		m_input_memory.resize(total);
		std::byte *cursor = m_input_memory.data();
		for (auto const &job : info.jobs) {
			if (job.size != 0)
				std::memcpy(cursor, job.data, job.size);
			cursor += job.size;
		}
		m_input_mmap = utility::make_mmap(m_input_memory, devices, local_map_permissions);
	}

	if (info.output_remote_mmap_definition != nullptr) {
		m_output_mmap = utility::make_mmap_from_export(*info.output_remote_mmap_definition, dev);
	} else {
		uint64_t total = 0;
		for (auto const &job : info.jobs)
			total += job.output_size;
		m_output_memory.resize(2 * total);
		m_output_mmap = utility::make_mmap(m_output_memory, devices, local_map_permissions);
	}

	m_buffers.reserve(info.jobs.size());
	uint64_t const wrappers = static_cast<uint64_t>(info.steps.size()) * job_count;
	if (wrappers > UINT32_MAX)
		KOVA_THROW(KOVA_ERROR_NO_MEMORY, "Task wrapper pool exhausted");
	m_wrappers = std::make_unique<task_wrapper[]>(wrappers);
	m_wrapper_count = static_cast<uint32_t>(wrappers);
}

task_pool::task_pool(task_pool &&other) noexcept
	: m_input_memory{std::move(other.m_input_memory)},
	  m_output_memory{std::move(other.m_output_memory)},
	  m_input_mmap{std::move(other.m_input_mmap)},
	  m_output_mmap{std::move(other.m_output_mmap)},
	  m_inventory{std::move(other.m_inventory)},
	  m_buffers{std::exchange(other.m_buffers, {})},
	  m_wrappers{std::move(other.m_wrappers)},
	  m_wrapper_count{std::exchange(other.m_wrapper_count, 0)},
	  m_next_wrapper{std::exchange(other.m_next_wrapper, 0)}
{
}

task_pool &task_pool::operator=(task_pool &&other) noexcept
{
	if (this == &other)
		return *this;
	release_buffers();
	m_wrappers = std::move(other.m_wrappers);
	m_buffers = std::exchange(other.m_buffers, {});
	m_inventory = std::move(other.m_inventory);
	m_output_mmap = std::move(other.m_output_mmap);
	m_input_mmap = std::move(other.m_input_mmap);
	m_output_memory = std::move(other.m_output_memory);
	m_input_memory = std::move(other.m_input_memory);
	m_wrapper_count = std::exchange(other.m_wrapper_count, 0);
	m_next_wrapper = std::exchange(other.m_next_wrapper, 0);
	return *this;
}

task_pool::~task_pool()
{
	release_buffers();
}

void task_pool::release_buffers() noexcept
{
	for (kova_buf *buffer : m_buffers)
		kova_buf_dec_refcount(buffer, nullptr);
	m_buffers.clear();
}

task_pool::memory_region task_pool::get_input_memory_region() const
{
	return memory_region_of(m_input_mmap.get());
}

task_pool::memory_region task_pool::get_output_memory_region() const
{
	return memory_region_of(m_output_mmap.get());
}

kova_buf *task_pool::get_buffer(kova_mmap *mmap, char *address, uint64_t length, bool whole_range_is_data)
{
	kova_buf *buffer = nullptr;
	kova_error const status = kova_buf_inventory_buf_get_by_args(
		m_inventory.get(), mmap, address, length, address, whole_range_is_data ? length : 0, &buffer);
	if (status != KOVA_SUCCESS)
		KOVA_THROW(status, "Unable to allocate kova buffer");
	return buffer;
}

kova_buf *task_pool::chain(kova_buf *head, kova_buf *buffer)
{
	kova_error const status = kova_buf_chain_list(head, buffer);
	if (status != KOVA_SUCCESS) {
		kova_buf_dec_refcount(buffer, nullptr);
		KOVA_THROW(status, "Unable to chain kova buffer");
	}
	return buffer;
}

kova_buf *task_pool::record(kova_buf *buffer)
{
	try {
		m_buffers.push_back(buffer);
	} catch (...) {
		kova_buf_dec_refcount(buffer, nullptr);
		throw;
	}
	return buffer;
}

kova_buf *task_pool::allocate_input_buffer(char *address, uint64_t length)
{
	return record(get_buffer(m_input_mmap.get(), address, length, true));
}

kova_buf *task_pool::allocate_output_buffer(char *address, uint64_t length)
{
	return record(get_buffer(m_output_mmap.get(), address, length, false));
}

kova_buf *task_pool::allocate_chained_input_buffer(kova_buf *head, char *address, uint64_t length)
{
	return chain(head, get_buffer(m_input_mmap.get(), address, length, true));
}

kova_buf *task_pool::allocate_chained_output_buffer(kova_buf *head, char *address, uint64_t length)
{
	return chain(head, get_buffer(m_output_mmap.get(), address, length, false));
}

task_wrapper *task_pool::allocate_task_wrapper(const kova_buf *input, kova_buf *output, task_wrapper *previous)
{
	if (m_next_wrapper == m_wrapper_count)
		KOVA_THROW(KOVA_ERROR_NO_MEMORY, "Task wrapper pool exhausted");
	task_wrapper *const wrapper = &m_wrappers[m_next_wrapper++];
	*wrapper = task_wrapper{nullptr, nullptr, input, output, 0, 0, previous == nullptr, true};
	if (previous != nullptr) {
		previous->next = wrapper;
		previous->is_last = false;
	}
	return wrapper;
}

kova_buf *task_pool::allocate_chain(char *address, uint64_t length, const utility::sg_configuration &split,
				    bool input)
{
	std::vector<uint64_t> const sizes = fragment_sizes(length, split);
	kova_buf *const head =
		input ? allocate_input_buffer(address, sizes.front()) : allocate_output_buffer(address, sizes.front());
	char *cursor = address + sizes.front();
	for (std::size_t i = 1; i != sizes.size(); ++i) {
		if (input)
			allocate_chained_input_buffer(head, cursor, sizes[i]);
		else
			allocate_chained_output_buffer(head, cursor, sizes[i]);
		cursor += sizes[i];
	}
	return head;
}

step::task_set task_pool::create_step_task_set(const utility::pipeline_info &info, step::object &step,
					       const kova_buf *input, kova_buf *output, kova_buf *spare,
					       task_wrapper *wrapper)
{
	try {
		return step.create_task_set(input, output, spare, kova_data{.ptr = wrapper});
	} catch (const kova::exception &e) {
		// A step runs out of tasks when its pool is smaller than the job count: say so.
		if (e.code() != KOVA_ERROR_NO_MEMORY || info.task_pool_size >= info.jobs.size())
			throw;
		throw kova::exception{e.code(),
				      std::string{e.what()} + " (task pool size " + std::to_string(info.task_pool_size) +
					      " is smaller than the job count " + std::to_string(info.jobs.size()) + ")",
				      e.file(), e.function(), e.line()};
	}
}

std::vector<task_wrapper *> task_pool::create_tasks(const utility::pipeline_info &info,
						     const std::vector<std::unique_ptr<step::object>> &steps)
{
	if (steps.empty())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Pipeline has no steps");

	memory_region const input_region = get_input_memory_region();
	memory_region const output_region = get_output_memory_region();
	uint64_t input_offset = 0;
	uint64_t output_offset = 0;

	std::vector<task_wrapper *> first_wrappers;
	first_wrappers.reserve(info.jobs.size());
	for (auto const &job : info.jobs) {
		uint64_t const output_size = job.output_size;
		if (!region_holds(input_region, input_offset, job.size) ||
		    !region_holds(output_region, output_offset, 2 * output_size))
			KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Job buffers exceed the memory region of the input/output map");

		char *const input_start = input_region.start + input_offset;
		char *const output_start = output_region.start + output_offset;
		kova_buf *const input = allocate_chain(input_start, job.size, info.gather, true);
		kova_buf *const output_a =
			allocate_chain(output_start, output_size, info.scatter, false);
		kova_buf *const output_b = allocate_chain(output_start + output_size, output_size,
							  info.scatter, false);
		input_offset += job.size;
		output_offset += 2 * output_size;

		task_wrapper *const first = allocate_task_wrapper(input, output_a, nullptr);
		step::task_set set = create_step_task_set(info, *steps.front(), input, output_a, output_b, first);
		first->task = set.task;
		first->next = first;

		task_wrapper *previous = first;
		for (std::size_t k = 1; k != steps.size(); ++k) {
			task_wrapper *const wrapper = allocate_task_wrapper(set.next_input, set.next_output, previous);
			set = create_step_task_set(info, *steps[k], set.next_input, set.next_output, set.next_spare,
						   wrapper);
			wrapper->task = set.task;
			wrapper->next = first;
			previous = wrapper;
		}
		task_wrapper *wrapper = first;
		do {
			wrapper->input_buffers = chain_buffer_count(wrapper->input);
			wrapper->output_buffers = chain_buffer_count(wrapper->output);
			wrapper = wrapper->next;
		} while (wrapper != first);
		first_wrappers.push_back(first);
	}
	return first_wrappers;
}

} // namespace kova::bench::impl
