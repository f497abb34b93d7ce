// One RDMA instance on one progress engine: creation and settings, the send or receive task pool,
// the connection details exchanged with the peer, and every task allocated through it.
#pragma once

#include "dl/kova_rdma_api.hpp"
#include "kova_optional.hpp"

#include <kova/rdma.h>
#include <kova/types.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace kova::bench::utility {

class rdma_context {
public:
	struct configuration {
		uint32_t buffer_size = 0;
		uint32_t task_count = 0;
		kova::optional<uint32_t> gid_index;
		kova::optional<uint32_t> send_queue_size;
		kova::optional<uint32_t> mtu;
	};

	struct send_callbacks {
		kova_task_completion_cb_t completion;
		kova_task_completion_cb_t error;
	};

	struct receive_callbacks {
		kova_task_completion_cb_t completion;
		kova_task_completion_cb_t error;
	};

	rdma_context(const configuration &cfg, kova_data ctx_user_data, kova_dev *dev, kova_pe *pe);
	~rdma_context();
	rdma_context(const rdma_context &) = delete;
	rdma_context &operator=(const rdma_context &) = delete;

	[[nodiscard]] const configuration &get_cfg() const noexcept { return m_cfg; }
	[[nodiscard]] kova_rdma *get_kova_rdma_obj() const noexcept { return m_instance.get(); }

	void configure_send_tasks_pool(send_callbacks callbacks);
	void configure_receive_tasks_pool(receive_callbacks callbacks);
	void start();

	// Exports again on every call; the connection it names is kept for connect and send tasks.
	std::vector<char> get_local_connection_blob();
	void set_remote_connection_blob(std::vector<char> blob);
	kova_error connect();
	kova_error connect(std::vector<char> blob);

	kova_rdma_task_receive *create_receive_task(kova_buf *destination, kova_data task_user_data);
	kova_rdma_task_send *create_send_task(const kova_buf *source, kova_data task_user_data);

	// Frees every task that is not in flight; those still in flight are freed when the context
	// is destroyed, after it has stopped them.
	void destroy_all_tasks() noexcept;

private:
	using instance_owner = std::unique_ptr<kova_rdma, kova_error (*)(kova_rdma *)>;

	void make_kova_rdma(kova_data ctx_user_data, kova_dev *dev, kova_pe *pe);

	const dl::kova_rdma_api *m_api;
	configuration m_cfg;
	instance_owner m_instance;
	kova_rdma_connection *m_connection = nullptr;
	kova_pe *m_pe = nullptr;
	std::vector<char> m_remote_blob;
	std::vector<kova_task *> m_tasks;
};

} // namespace kova::bench::utility
