#include "utility/kova_utils.hpp"

#include "kova_exception.hpp"

#include <kova/error.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <iostream>
#include <mutex>
#include <new>
#include <vector>

void kova_deleter(kova_pe *pe) noexcept
{
	static_cast<void>(kova_pe_destroy(pe));
}

void kova_deleter(kova_mmap *mmap) noexcept
{
	static_cast<void>(kova_mmap_destroy(mmap));
}

void kova_deleter(kova_buf_inventory *inventory) noexcept
{
	static_cast<void>(kova_buf_inventory_destroy(inventory));
}

void kova_deleter(kova_devinfo **list) noexcept
{
	static_cast<void>(kova_devinfo_destroy_list(list));
}

void kova_deleter(kova_devinfo_rep **list) noexcept
{
	static_cast<void>(kova_devinfo_rep_destroy_list(list));
}

namespace kova::bench::utility {
namespace {

constexpr std::chrono::nanoseconds stop_timeout{5'000'000'000};

std::string hex_address(const void *address)
{
	char text[2 * sizeof(uintptr_t)];
	auto const result = std::to_chars(std::begin(text), std::end(text), reinterpret_cast<uintptr_t>(address), 16);
	return std::string(text, result.ptr);
}

void print_state_failure(const std::string &name)
{
	std::cerr << "Unable to get " << name << " ctx state" << std::endl;
}

struct stalled_engines {
	std::mutex mutex;
	std::vector<const kova_pe *> engines;
};

stalled_engines &stalled()
{
	static stalled_engines instance;
	return instance;
}

// Objects left to their devices, and the engines they were connected to. Never destroyed.
struct left_objects {
	std::mutex mutex;
	std::vector<const void *> objects;
	std::vector<const kova_pe *> engines;
};

left_objects &left()
{
	static auto *instance = new left_objects;
	return *instance;
}

bool stop_deadline_passed(std::chrono::steady_clock::time_point deadline, const std::string &name)
{
	if (std::chrono::steady_clock::now() <= deadline)
		return false;
	std::cerr << "Unable to stop " << name << " ctx: timed out" << std::endl;
	return true;
}

// Creates the map for make_mmap, which reports a failure from here.
struct mmap_creator {
	std::unique_ptr<kova_mmap, kova::delegated_deleter<kova_mmap>> operator()() const
	{
		kova_mmap *created = nullptr;
		if (kova_error const err = kova_mmap_create(&created))
			KOVA_THROW(err, "Unable to create mmap");
		return std::unique_ptr<kova_mmap, kova::delegated_deleter<kova_mmap>>{created};
	}
};

} // namespace

devinfo_list make_devinfo_list()
{
	kova_devinfo **list = nullptr;
	uint32_t count = 0;
	if (kova_error const err = kova_devinfo_create_list(&list, &count))
		KOVA_THROW(err, "Unable to enumerate kova devices");
	return devinfo_list{list, count};
}

devinfo_rep_list make_devinfo_rep_list_from_dev(kova_dev *dev)
{
	kova_devinfo_rep **list = nullptr;
	uint32_t count = 0;
	if (kova_error const err = kova_devinfo_rep_create_list(dev, KOVA_DEVINFO_REP_FILTER_NET, &list, &count))
		KOVA_THROW(err, "Unable to enumerate kova device representors");
	return devinfo_rep_list{list, count};
}

devinfo_rep_list make_devinfo_rep_list_from_dev(kova_dev *dev, int /*filter*/)
{
	return make_devinfo_rep_list_from_dev(dev);
}

std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> make_pe()
{
	kova_pe *pe = nullptr;
	if (kova_error const err = kova_pe_create(&pe))
		KOVA_THROW(err, "Unable to create kova progress engine");
	return std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>>{pe};
}

std::unique_ptr<kova_mmap, kova::delegated_deleter<kova_mmap>>
make_mmap(kova::bench::aligned_buffer &buffer, span<kova_dev *> devices, kova::optional<uint32_t> permissions)
{
	auto mmap = mmap_creator{}();

	if (devices.size() > 1) {
		if (kova_error const err = kova_mmap_set_max_num_devices(mmap.get(), static_cast<uint32_t>(devices.size())))
			KOVA_THROW(err, "Unable to configure mmap to support " + std::to_string(devices.size()) + " devices");
	}
	for (kova_dev *dev : devices) {
		if (kova_error const err = kova_mmap_add_dev(mmap.get(), dev))
			KOVA_THROW(err, "Unable to register device with mmap");
	}
	if (kova_error const err = kova_mmap_set_memrange(mmap.get(), buffer.data(), buffer.size()))
		KOVA_THROW(err, "Unable to set mmap memory range");
	if (permissions.has_value()) {
		if (kova_error const err = kova_mmap_set_permissions(mmap.get(), *permissions))
			KOVA_THROW(err, "Unable to set mmap permissions");
	}
	if (kova_error const err = kova_mmap_start(mmap.get())) {
		if (err == KOVA_ERROR_DRIVER)
			KOVA_THROW(err, "Unable to start mmap - consider increasing memory limit: ulimit -l");
		KOVA_THROW(err, "Unable to start mmap");
	}
	return mmap;
}

std::unique_ptr<kova_mmap, kova::delegated_deleter<kova_mmap>>
make_mmap_from_export(const remote_mmap_definition &definition, kova_dev *dev)
{
	kova_mmap *mmap = nullptr;
	if (kova_error const err = kova_mmap_create_from_export(nullptr, definition.export_descriptor.data(),
								definition.export_descriptor.size(), dev, &mmap))
		KOVA_THROW(err, "Unable to create mmap from export");
	return std::unique_ptr<kova_mmap, kova::delegated_deleter<kova_mmap>>{mmap};
}

std::unique_ptr<kova_buf_inventory, kova::delegated_deleter<kova_buf_inventory>> make_inventory(std::size_t num_elements)
{
	kova_buf_inventory *created = nullptr;
	if (kova_error const err = kova_buf_inventory_create(num_elements, &created))
		KOVA_THROW(err, "Unable to create buffer inventory");
	std::unique_ptr<kova_buf_inventory, kova::delegated_deleter<kova_buf_inventory>> inventory{created};
	if (kova_error const err = kova_buf_inventory_start(inventory.get()))
		KOVA_THROW(err, "Unable to start buffer inventory");
	return inventory;
}

kova_buf *get_buffer(kova_buf_inventory *inventory, kova_mmap *mmap, char *address, std::size_t length)
{
	kova_buf *buf = nullptr;
	if (kova_error const err =
		    kova_buf_inventory_buf_get_by_args(inventory, mmap, address, length, address, length, &buf))
		KOVA_THROW(err, "Unable to get translation buffer from pool");
	return buf;
}

kova_ctx_states get_context_state(const kova_ctx *ctx)
{
	if (ctx == nullptr)
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Ctx cannot be a nullptr");
	kova_ctx_states state = KOVA_CTX_STATE_IDLE;
	if (kova_error const err = kova_ctx_get_state(ctx, &state))
		KOVA_THROW(err, "Unable to get ctx state");
	return state;
}

bool is_context_running(const kova_ctx *ctx) noexcept
{
	kova_ctx_states state = KOVA_CTX_STATE_IDLE;
	return ctx != nullptr && kova_ctx_get_state(ctx, &state) == KOVA_SUCCESS && state == KOVA_CTX_STATE_RUNNING;
}

void stop_ctx(kova_ctx *ctx, kova_pe *pe, const std::string &name) noexcept
{
	stop_ctx(ctx, pe, name, nullptr);
}

void mark_engine_stalled(const kova_pe *pe)
{
	stalled_engines &s = stalled();
	std::lock_guard const lock{s.mutex};
	if (std::find(s.engines.begin(), s.engines.end(), pe) == s.engines.end())
		s.engines.push_back(pe);
}

void forget_stalled_engine(const kova_pe *pe) noexcept
{
	stalled_engines &s = stalled();
	std::lock_guard const lock{s.mutex};
	std::erase(s.engines, pe);
}

bool is_engine_stalled(const kova_pe *pe) noexcept
{
	stalled_engines &s = stalled();
	std::lock_guard const lock{s.mutex};
	return std::find(s.engines.begin(), s.engines.end(), pe) != s.engines.end();
}

void leave_to_device(const kova_pe *pe, const void *object) noexcept
{
	left_objects &l = left();
	std::lock_guard const lock{l.mutex};
	try {
		if (object != nullptr)
			l.objects.push_back(object);
		if (pe != nullptr && std::find(l.engines.begin(), l.engines.end(), pe) == l.engines.end())
			l.engines.push_back(pe);
	} catch (const std::bad_alloc &) {
		// Unrecorded, the object is still not freed; a leak check then reports it.
	}
}

bool engine_holds_left_objects(const kova_pe *pe) noexcept
{
	left_objects &l = left();
	std::lock_guard const lock{l.mutex};
	return std::find(l.engines.begin(), l.engines.end(), pe) != l.engines.end();
}

std::size_t tasks_in_flight(const kova_ctx *ctx) noexcept
{
	std::size_t in_flight = 0;
	if (ctx == nullptr || kova_ctx_get_num_inflight_tasks(ctx, &in_flight) != KOVA_SUCCESS)
		return 0;
	return in_flight;
}

void stop_ctx(kova_ctx *ctx, kova_pe *pe, const std::string &name, std::vector<kova_task *> *tasks) noexcept
{
	if (ctx == nullptr || pe == nullptr)
		return;
	kova_ctx_states state = KOVA_CTX_STATE_IDLE;
	if (kova_ctx_get_state(ctx, &state) != KOVA_SUCCESS) {
		print_state_failure(name);
		return;
	}
	if (state == KOVA_CTX_STATE_IDLE)
		return;
	kova_error const first = kova_ctx_stop(ctx);
	if (first == KOVA_SUCCESS)
		return;
	if (first != KOVA_ERROR_IN_PROGRESS && first != KOVA_ERROR_IN_USE) {
		std::cerr << "Unable to stop " << name << " ctx: " << kova_error_get_name(first) << std::endl;
		return;
	}
	if (is_engine_stalled(pe)) {
		// The device keeps what it has not completed: nothing of it is waited for or freed.
		std::size_t in_flight = 0;
		static_cast<void>(kova_ctx_get_num_inflight_tasks(ctx, &in_flight));
		std::cerr << "Unable to stop " << name << " ctx: " << in_flight
			  << " tasks in flight on a stalled device are left to it" << std::endl;
		if (tasks != nullptr && in_flight != 0)
			tasks->clear();
		return;
	}

	auto const deadline = std::chrono::steady_clock::now() + stop_timeout;
	bool tasks_freed = tasks == nullptr;
	for (;;) {
		if (!tasks_freed) {
			for (;;) {
				std::size_t in_flight = 0;
				if (kova_ctx_get_num_inflight_tasks(ctx, &in_flight) != KOVA_SUCCESS) {
					std::cerr << "Unable to get num_inflight_tasks" << std::endl;
					return;
				}
				if (in_flight == 0)
					break;
				if (stop_deadline_passed(deadline, name))
					return;
				kova_pe_progress(pe);
			}
			for (kova_task *task : *tasks)
				static_cast<void>(kova_task_free(task));
			tasks->clear();
			tasks_freed = true;
		}
		kova_pe_progress(pe);
		if (kova_ctx_get_state(ctx, &state) != KOVA_SUCCESS) {
			print_state_failure(name);
			return;
		}
		if (state == KOVA_CTX_STATE_IDLE)
			return;
		if (kova_ctx_stop(ctx) == KOVA_SUCCESS)
			return;
		if (stop_deadline_passed(deadline, name))
			return;
	}
}

std::string describe_kova_buf(const kova_buf *buf)
{
	void *data = nullptr;
	void *head = nullptr;
	std::size_t data_len = 0;
	std::size_t len = 0;
	static_cast<void>(kova_buf_get_data(buf, &data));
	static_cast<void>(kova_buf_get_head(buf, &head));
	static_cast<void>(kova_buf_get_data_len(buf, &data_len));
	static_cast<void>(kova_buf_get_len(buf, &len));
	return "data: 0x" + hex_address(data) + ", head: 0x" + hex_address(head) + ", data_len: " +
	       std::to_string(data_len) + ", len: " + std::to_string(len);
}

} // namespace kova::bench::utility
