// Memory maps over local memory, their export, and maps over memory another process exported.
#include "mmap_internal.hpp"

#include <kova_internal/capability.hpp>
#include <kova_internal/sdk_log.hpp>

#include <kova/error.h>
#include <kova/mmap.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

using kova::sdk::control_call;

KOVA_EXPORT kova_error kova_mmap_create(kova_mmap **mmap)
{
	if (mmap == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_create"))
		return forced;
	auto *made = new (std::nothrow) kova_mmap{};
	if (made == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	*mmap = made;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_mmap_set_max_num_devices(kova_mmap *mmap, uint32_t max_num_devices)
{
	if (mmap == nullptr || max_num_devices == 0)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_set_max_num_devices", true, max_num_devices))
		return forced;
	if (mmap->started || max_num_devices < mmap->devices.size())
		return KOVA_ERROR_BAD_STATE;
	mmap->max_num_devices = max_num_devices;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_mmap_add_dev(kova_mmap *mmap, kova_dev *dev)
{
	if (mmap == nullptr || dev == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_add_dev"))
		return forced;
	if (mmap->started)
		return KOVA_ERROR_BAD_STATE;
	if (std::find(mmap->devices.begin(), mmap->devices.end(), dev) != mmap->devices.end())
		return KOVA_ERROR_ALREADY_EXIST;
	if (mmap->devices.size() >= mmap->max_num_devices)
		return KOVA_ERROR_NO_MEMORY;
	try {
		mmap->devices.push_back(dev);
	} catch (const std::bad_alloc &) {
		return KOVA_ERROR_NO_MEMORY;
	}
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_mmap_set_memrange(kova_mmap *mmap, void *addr, size_t len)
{
	if (mmap == nullptr || addr == nullptr || len == 0 ||
	    reinterpret_cast<uintptr_t>(addr) > UINTPTR_MAX - (len - 1))
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_set_memrange", true, len))
		return forced;
	if (mmap->started)
		return KOVA_ERROR_BAD_STATE;
	mmap->addr = static_cast<std::byte *>(addr);
	mmap->len = len;
	mmap->range_set = true;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_mmap_set_permissions(kova_mmap *mmap, uint32_t access_mask)
{
	if (mmap == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_set_permissions", true, access_mask))
		return forced;
	if (mmap->started)
		return KOVA_ERROR_BAD_STATE;
	mmap->permissions = access_mask;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_mmap_start(kova_mmap *mmap)
{
	if (mmap == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_start"))
		return forced;
	if (!mmap->range_set || mmap->started)
		return KOVA_ERROR_BAD_STATE;
	mmap->started = true;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_mmap_get_memrange(const kova_mmap *mmap, void **addr, size_t *len)
{
	if (mmap == nullptr || addr == nullptr || len == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (!mmap->range_set)
		return KOVA_ERROR_BAD_STATE;
	*addr = mmap->addr;
	*len = mmap->len;
	return KOVA_SUCCESS;
}

namespace kova::sdk {

uint64_t process_start_time(pid_t pid) noexcept
{
	char path[64];
	std::snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
	std::FILE *file = std::fopen(path, "r");
	if (file == nullptr)
		return 0;
	char line[1024];
	std::size_t const n = std::fread(line, 1, sizeof(line) - 1, file);
	std::fclose(file);
	line[n] = '\0';
	// Fields after the command name, which may hold blanks and parentheses, start after its last ')'.
	const char *field = std::strrchr(line, ')');
	if (field == nullptr)
		return 0;
	// The start time is field 22; the state after ')' is field 3.
	for (int i = 3; i <= 22; ++i) {
		field = std::strchr(field + 1, ' ');
		if (field == nullptr)
			return 0;
	}
	return std::strtoull(field + 1, nullptr, 10);
}

} // namespace kova::sdk

namespace {

uint64_t make_nonce() noexcept
{
	uint64_t nonce = 0;
	while (nonce == 0) {
		if (::getrandom(&nonce, sizeof(nonce), 0) != static_cast<ssize_t>(sizeof(nonce)))
			nonce = static_cast<uint64_t>(::getpid()) * 0x9e3779b97f4a7c15ull ^
				reinterpret_cast<uintptr_t>(&nonce);
	}
	return nonce;
}

// The exporter's live word: shared memory of its own, which importers map from /proc/<pid>/fd.
kova_error make_live_word(kova_mmap *mmap) noexcept
{
	int const fd = ::memfd_create("kova_mmap_live_word", MFD_CLOEXEC);
	if (fd < 0)
		return KOVA_ERROR_NO_MEMORY;
	void *word = MAP_FAILED;
	if (::ftruncate(fd, static_cast<off_t>(kova::sdk::live_word_size)) == 0)
		word = ::mmap(nullptr, kova::sdk::live_word_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
	if (word == MAP_FAILED) {
		::close(fd);
		return KOVA_ERROR_NO_MEMORY;
	}
	mmap->live_fd = fd;
	mmap->live_word = new (word) std::atomic<uint64_t>{0};
	return KOVA_SUCCESS;
}

// The exporter's live word mapped here, or null when it cannot be reached.
const std::atomic<uint64_t> *map_live_word(pid_t pid, int fd) noexcept
{
	char path[64];
	std::snprintf(path, sizeof(path), "/proc/%d/fd/%d", static_cast<int>(pid), fd);
	int const opened = ::open(path, O_RDONLY | O_CLOEXEC);
	if (opened < 0)
		return nullptr;
	struct stat status {};
	void *word = MAP_FAILED;
	if (::fstat(opened, &status) == 0 && S_ISREG(status.st_mode) &&
	    status.st_size >= static_cast<off_t>(kova::sdk::live_word_size))
		word = ::mmap(nullptr, kova::sdk::live_word_size, PROT_READ, MAP_SHARED, opened, 0);
	::close(opened);
	return word == MAP_FAILED ? nullptr : static_cast<const std::atomic<uint64_t> *>(word);
}

void unmap_live_word(const std::atomic<uint64_t> *word) noexcept
{
	::munmap(const_cast<std::atomic<uint64_t> *>(word), kova::sdk::live_word_size);
}

} // namespace

namespace {

kova_error export_map(kova_mmap *mmap, kova_dev *dev, const void **export_desc, size_t *export_desc_len)
{
	if (!mmap->started || kova::sdk::is_remote(mmap) ||
	    std::find(mmap->devices.begin(), mmap->devices.end(), dev) == mmap->devices.end())
		return KOVA_ERROR_INVALID_VALUE;
	if (!mmap->exported) {
		if (kova_error const err = make_live_word(mmap))
			return err;
		// Where a Yama policy limits access to descendants, let importers of this user in.
		::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
		kova::sdk::export_descriptor &desc = mmap->export_desc;
		desc.magic = kova::sdk::export_magic;
		desc.format = kova::sdk::export_format;
		desc.pid = static_cast<uint32_t>(::getpid());
		desc.start_time = kova::sdk::process_start_time(::getpid());
		desc.addr = reinterpret_cast<uintptr_t>(mmap->addr);
		desc.len = mmap->len;
		desc.live_fd = static_cast<uint64_t>(mmap->live_fd);
		desc.nonce = make_nonce();
		desc.uid = static_cast<uint32_t>(::getuid());
		desc.permissions = mmap->permissions;
		mmap->live_word->store(desc.nonce, std::memory_order_release);
		mmap->exported = true;
	}
	*export_desc = &mmap->export_desc;
	*export_desc_len = sizeof(mmap->export_desc);
	return KOVA_SUCCESS;
}

} // namespace

KOVA_EXPORT kova_error kova_mmap_export_pci(kova_mmap *mmap, kova_dev *dev, const void **export_desc,
					    size_t *export_desc_len)
{
	if (mmap == nullptr || dev == nullptr || export_desc == nullptr || export_desc_len == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_export_pci"))
		return forced;
	return export_map(mmap, dev, export_desc, export_desc_len);
}

KOVA_EXPORT kova_error kova_mmap_export_rdma(kova_mmap *mmap, kova_dev *dev, const void **export_desc,
					     size_t *export_desc_len)
{
	if (mmap == nullptr || dev == nullptr || export_desc == nullptr || export_desc_len == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_export_rdma"))
		return forced;
	return export_map(mmap, dev, export_desc, export_desc_len);
}

KOVA_EXPORT kova_error kova_mmap_create_from_export(const void * /*opts*/, const void *export_desc,
						    size_t export_desc_len, kova_dev *dev, kova_mmap **mmap)
{
	if (export_desc == nullptr || export_desc_len == 0 || dev == nullptr || mmap == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_create_from_export", true, export_desc_len))
		return forced;
	kova::sdk::export_descriptor desc{};
	if (export_desc_len != sizeof(desc))
		return KOVA_ERROR_INVALID_VALUE;
	std::memcpy(&desc, export_desc, sizeof(desc));
	if (desc.magic != kova::sdk::export_magic || desc.format != kova::sdk::export_format || desc.pid == 0 ||
	    desc.pid > static_cast<uint32_t>(INT32_MAX) || desc.len == 0 || desc.addr == 0 ||
	    desc.addr > UINT64_MAX - (desc.len - 1) || desc.live_fd > static_cast<uint64_t>(INT32_MAX) || desc.nonce == 0)
		return KOVA_ERROR_INVALID_VALUE;
	auto const pid = static_cast<pid_t>(desc.pid);
	if (desc.uid != static_cast<uint32_t>(::getuid()) || desc.start_time == 0 ||
	    kova::sdk::process_start_time(pid) != desc.start_time)
		return KOVA_ERROR_IO_FAILED;
	const std::atomic<uint64_t> *live = map_live_word(pid, static_cast<int>(desc.live_fd));
	if (live == nullptr)
		return KOVA_ERROR_IO_FAILED;
	kova::sdk::remote_memory const remote{pid, live, desc.nonce};
	if (kova_error const err = kova::sdk::check_alive(remote)) {
		unmap_live_word(live);
		return err;
	}
	auto *made = new (std::nothrow) kova_mmap{};
	if (made == nullptr) {
		unmap_live_word(live);
		return KOVA_ERROR_NO_MEMORY;
	}
	try {
		made->devices.push_back(dev);
	} catch (const std::bad_alloc &) {
		unmap_live_word(live);
		delete made;
		return KOVA_ERROR_NO_MEMORY;
	}
	made->addr = reinterpret_cast<std::byte *>(static_cast<uintptr_t>(desc.addr));
	made->len = static_cast<std::size_t>(desc.len);
	made->range_set = true;
	made->permissions = desc.permissions;
	made->started = true;
	made->remote = remote;
	*mmap = made;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_mmap_destroy(kova_mmap *mmap)
{
	if (mmap == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_mmap_destroy"))
		return forced;
	if (uint64_t const outstanding = mmap->num_bufs.load(std::memory_order_acquire); outstanding != 0) {
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_mmap_destroy: %llu buffers over the map are outstanding",
			       static_cast<unsigned long long>(outstanding));
		return KOVA_ERROR_BAD_STATE;
	}
	if (mmap->live_word != nullptr) {
		// Importers find the word changed before the memory goes.
		mmap->live_word->store(0, std::memory_order_release);
		::munmap(mmap->live_word, kova::sdk::live_word_size);
		::close(mmap->live_fd);
	}
	if (kova::sdk::is_remote(mmap))
		unmap_live_word(mmap->remote.live);
	delete mmap;
	return KOVA_SUCCESS;
}
