// The companion's RDMA workers: the far end of an RDMA send or receive step. A receive worker
// keeps one receive posted per buffer, a send worker one send in flight per buffer, each reposted
// as it completes. Also the command and reply maps the benchmark and the companion exchange.
#pragma once

#include "aligned_buffer.hpp"
#include "companion/worker/worker.hpp"
#include "dl/kova_rdma_api.hpp"
#include "kova_delegated_deleter.hpp"
#include "kova_optional.hpp"
#include "utility/kova_utils.hpp"

#include <kova/rdma.h>
#include <kova/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace kova::bench::companion::worker {

struct create_rdma_worker_command {
	uint32_t buffer_size = 0;
	uint32_t buffer_count = 0;
	std::string connection_string;
	kova::optional<uint32_t> gid_idx;
	bool create_exported_mmap = false;
};

struct create_rdma_worker_response {
	std::string connection_string;
	kova::optional<std::string> mmap_export;
};

attribute_map create_rdma_worker_command_to_map(const create_rdma_worker_command &command);
// KOVA_ERROR_INVALID_VALUE for a missing key, a value that is not a number, or buffers that do not fit 32 bits.
create_rdma_worker_command create_rdma_worker_command_from_map(const attribute_map &map);
attribute_map create_rdma_worker_response_to_map(const create_rdma_worker_response &response);
// KOVA_ERROR_INVALID_VALUE without "connection-string".
create_rdma_worker_response create_rdma_worker_response_from_map(const attribute_map &map);

class rdma_worker_base : public worker {
public:
	~rdma_worker_base() override;
	rdma_worker_base(const rdma_worker_base &) = delete;
	rdma_worker_base &operator=(const rdma_worker_base &) = delete;

	void populate_create_worker_response_fields(attribute_map &fields) override;
	void terminate() override;
	[[nodiscard]] uint32_t get_id() const override;

protected:
	struct cold_data {
		const dl::kova_rdma_api *api = nullptr;
		std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> pe;
		std::unique_ptr<kova_rdma, kova_error (*)(kova_rdma *)> rdma{nullptr, nullptr};
		kova_rdma_connection *connection = nullptr;
		std::unique_ptr<kova_mmap, kova::delegated_deleter<kova_mmap>> mmap;
		kova_dev *device = nullptr;
		std::unique_ptr<kova_buf_inventory, kova::delegated_deleter<kova_buf_inventory>> inventory;
		aligned_buffer region{0};
		std::thread poll_thread;
		std::vector<kova_buf *> buffers;
		std::vector<kova_task *> tasks;
		std::string local_connection_string;
		kova::optional<std::string> mmap_export;
		uint32_t id = 0;
		uint32_t buffer_count = 0;
		// The first task failure, reported when the thread ends.
		kova_error first_error = 0;
		const char *first_error_kind = nullptr;
	};

	explicit rdma_worker_base(const char *type);

	void init_core_objects(kova_data ctx_user_data, uint32_t id, const create_rdma_worker_command &command,
			       kova_dev *device);
	void init_kova_bufs(uint32_t buffer_size);
	void start_ctx(const create_rdma_worker_command &command);
	void start_poll_thread();
	void poll_rdma_connection();
	void join_poll_thread();
	// Drives the engine until terminate(); then reports the first task failure, if any.
	void progress_until_stopped();
	// Called from the task callbacks; stops the worker and keeps the first failure.
	void note_task_failure(kova_error status, const char *kind) noexcept;
	[[nodiscard]] kova_ctx *ctx() const;

	std::atomic<bool> m_stop{false};
	std::unique_ptr<cold_data> m_cold;
	kova_pe *m_pe = nullptr;
	const char *m_type;
};

class rdma_recv_worker final : public rdma_worker_base {
public:
	rdma_recv_worker();
	void thread_proc() override;
	// The factory's steps after the command was read; throws, leaving the worker to its destructor.
	void build(uint32_t id, const create_rdma_worker_command &command, kova_dev *device);
	[[nodiscard]] const char *get_type() const override;

	void init_rdma_recv_cfg();
	void init_rdma_recv_tasks();

private:
	static void on_task_complete(kova_task *task, kova_data task_user_data, kova_data ctx_user_data);
	static void on_task_error(kova_task *task, kova_data task_user_data, kova_data ctx_user_data);
};

class rdma_send_worker final : public rdma_worker_base {
public:
	rdma_send_worker();
	void thread_proc() override;
	// The factory's steps after the command was read; throws, leaving the worker to its destructor.
	void build(uint32_t id, const create_rdma_worker_command &command, kova_dev *device);
	[[nodiscard]] const char *get_type() const override;

	void init_rdma_send_cfg();
	void init_rdma_send_tasks();

private:
	static void on_task_complete(kova_task *task, kova_data task_user_data, kova_data ctx_user_data);
	static void on_task_error(kova_task *task, kova_data task_user_data, kova_data ctx_user_data);
};

// Connected (or connecting) workers with their connection poll thread running; KOVA_ERROR_NOT_FOUND when the
// RDMA library is not installed.
std::unique_ptr<worker> create_rdma_recv_worker(uint32_t id, const attribute_map &map, kova_dev *device);
std::unique_ptr<worker> create_rdma_send_worker(uint32_t id, const attribute_map &map, kova_dev *device);

} // namespace kova::bench::companion::worker
