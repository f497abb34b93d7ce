// The state of one run that every part of a benchmark reads: opened devices and representor, GPU,
// DPDK context, companion connection with its request context and message numbers, and the
// companion's remote memory definitions.
//
// Steps and worker threads read the devices, representor, DPDK context, GPU and remote definitions
// without locking; none of them changes while worker threads run. The message numbers, the
// connection and the request context belong to one thread (the benchmark's, or the companion's
// request loop).
#pragma once

#include "utility/remote_mmap_definition.hpp"
#include "utility/span.hpp"

#include <kova/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kova_optional.hpp"

struct kova_gpu;

namespace kova::bench::utility {
class dpdk_context;
} // namespace kova::bench::utility

namespace kova::bench::companion::api {
class connection;
namespace async {
class context;
} // namespace async
} // namespace kova::bench::companion::api

namespace kova::bench::companion::remote_control {
class remote_companion;
} // namespace kova::bench::companion::remote_control

namespace kova::bench {

class runtime_state {
public:
	using gpu_deleter = kova_error (*)(kova_gpu *gpu);

	// The GPU deleter while no GPU library releases the handle: does nothing.
	static kova_error empty_deleter(kova_gpu *gpu) noexcept;

	runtime_state();
	runtime_state(const runtime_state &) = delete;
	runtime_state &operator=(const runtime_state &) = delete;
	// Closes the representor and the devices, then releases the rest in reverse order; the
	// request context goes before its connection and the remote companion after both.
	virtual ~runtime_state();

	// The opened devices; entry 0 is the one steps, task pools and queries use.
	[[nodiscard]] utility::span<kova_dev *> get_devices() const;

	// Opens the first device that matches the address (PCI address, InfiniBand name or interface
	// name) and, when given, its representor with that PCI address. With a representor only
	// devices that can filter network representors are considered. Throws KOVA_ERROR_INVALID_VALUE when no device
	// matches; the SDK's code when opening fails. A device opened here stays open when its
	// representor then fails.
	void open_device_and_representor(const std::string &address, const kova::optional<std::string> &representor);

	// Opens the representor with that PCI address among the last opened device's network
	// representors. Throws KOVA_ERROR_NOT_FOUND when none matches, the SDK's code when opening fails.
	void open_representor(const std::string &address);

	// Opens the first representor of the device (any kind). Throws the SDK's code, or KOVA_ERROR_NOT_SUPPORTED when
	// the device has none.
	void open_representor(kova_dev *dev);

	[[nodiscard]] kova_dev_rep *get_representor() const noexcept;

	void set_input_remote_mmap_definitions(std::vector<utility::remote_mmap_definition> definitions);
	void set_output_remote_mmap_definitions(std::vector<utility::remote_mmap_definition> definitions);
	[[nodiscard]] const std::vector<utility::remote_mmap_definition> &get_input_remote_mmap_definitions() const;
	[[nodiscard]] const std::vector<utility::remote_mmap_definition> &get_output_remote_mmap_definitions() const;

	// Entry `index` modulo the number of definitions; throws KOVA_ERROR_BAD_STATE when there is none.
	[[nodiscard]] const utility::remote_mmap_definition &get_input_remote_mmap_definition(uint32_t index) const;
	[[nodiscard]] const utility::remote_mmap_definition &get_output_remote_mmap_definition(uint32_t index) const;

	void add_output_remote_mmap_definition(utility::remote_mmap_definition definition);
	void add_output_remote_mmap_definitions(std::vector<utility::remote_mmap_definition> definitions);

	// Replaces the owner of a remotely launched companion, destroying the previous one.
	void set_remote_companion_lifetime_control(std::unique_ptr<companion::remote_control::remote_companion> companion);

	// Replaces the connection, then makes a new request context over it (also over none).
	void set_companion_connection(std::unique_ptr<companion::api::connection> connection);
	[[nodiscard]] companion::api::connection *get_companion_connection() const noexcept;
	[[nodiscard]] companion::api::async::context *get_companion_connection_async() const noexcept;

	// 1, 2, 3, ... for the messages sent to the companion.
	[[nodiscard]] uint64_t get_next_api_message_seq_num() const noexcept;

	// Creates the DPDK context for device 0 and starts its port, once. Throws KOVA_ERROR_INVALID_VALUE without a
	// device, or what creating or starting throws.
	void prepare_dpdk_ctx();
	[[nodiscard]] utility::dpdk_context *get_dpdk_ctx() const noexcept;

	// Prepares the DPDK context, then opens the GPU with that PCI address. Throws KOVA_ERROR_NOT_FOUND without
	// the GPU libraries, the library's code when the GPU cannot be opened.
	void open_gpu_device(const std::string &address);
	[[nodiscard]] kova_gpu *get_gpu_device() const noexcept;

private:
	std::vector<kova_dev *> m_devices;
	mutable std::atomic<uint64_t> m_message_seq_num{0};
	kova_dev_rep *m_representor = nullptr;
	std::vector<utility::remote_mmap_definition> m_input_remote_mmaps;
	std::vector<utility::remote_mmap_definition> m_output_remote_mmaps;
	std::unique_ptr<companion::remote_control::remote_companion> m_remote_companion;
	std::unique_ptr<companion::api::connection> m_connection;
	std::unique_ptr<companion::api::async::context> m_connection_async;
	std::unique_ptr<utility::dpdk_context> m_dpdk_ctx;
	kova_gpu *m_gpu = nullptr;
	gpu_deleter m_gpu_deleter = &empty_deleter;
};

} // namespace kova::bench
