#include "rdma_side.hpp"

#include <kova_internal/buf_data.hpp>

#include <thread>

namespace kova::rdma_test {

namespace {

constexpr uint64_t send_flag = 1ULL << 32;

} // namespace

rdma_side::rdma_side(uint32_t num_buffers, std::size_t buffer_size)
	: m_num_buffers{num_buffers}, m_buffer_size{buffer_size}, m_memory(num_buffers * buffer_size, 0)
{
	completions.reserve(1024);
	uint32_t count = 0;
	kova_error err = kova_devinfo_create_list(&m_devinfos, &count);
	if (err != KOVA_SUCCESS || count == 0)
		{ fail("kova_devinfo_create_list", err); return; }
	if ((err = kova_dev_open(m_devinfos[0], &m_dev)) != KOVA_SUCCESS)
		{ fail("kova_dev_open", err); return; }
	if ((err = kova_pe_create(&m_pe)) != KOVA_SUCCESS)
		{ fail("kova_pe_create", err); return; }
	if ((err = kova_mmap_create(&m_mmap)) != KOVA_SUCCESS || (err = kova_mmap_add_dev(m_mmap, m_dev)) != 0 ||
	    (err = kova_mmap_set_memrange(m_mmap, m_memory.data(), m_memory.size())) != 0 ||
	    (err = kova_mmap_start(m_mmap)) != 0)
		{ fail("mmap", err); return; }
	if ((err = kova_buf_inventory_create(num_buffers, &m_inventory)) != 0 ||
	    (err = kova_buf_inventory_start(m_inventory)) != 0)
		{ fail("inventory", err); return; }
	for (uint32_t i = 0; i < num_buffers; ++i) {
		kova_buf *buf = nullptr;
		if ((err = kova_buf_inventory_buf_get_by_args(m_inventory, m_mmap, data(i), buffer_size, data(i), 0,
							      &buf)) != 0)
			{ fail("kova_buf_inventory_buf_get_by_args", err); return; }
		m_bufs.push_back(buf);
	}
	if ((err = kova_rdma_create(m_dev, &m_rdma)) != 0)
		{ fail("kova_rdma_create", err); return; }
	uint32_t const half = num_buffers / 2;
	if ((err = kova_rdma_task_receive_set_conf(m_rdma, on_done, on_done, half)) != 0 ||
	    (err = kova_rdma_task_send_set_conf(m_rdma, on_done, on_done, num_buffers - half)) != 0 ||
	    (err = kova_rdma_set_send_queue_size(m_rdma, num_buffers - half)) != 0)
		{ fail("configuration", err); return; }
	if ((err = kova_ctx_set_user_data(ctx(), kova_data{.ptr = this})) != 0 ||
	    (err = kova_pe_connect_ctx(m_pe, ctx())) != 0 || (err = kova_ctx_start(ctx())) != 0)
		{ fail("start", err); return; }
	for (uint32_t i = 0; i < half; ++i) {
		kova_rdma_task_receive *task = nullptr;
		if ((err = kova_rdma_task_receive_allocate_init(m_rdma, m_bufs[i], kova_data{.u64 = i}, &task)) != 0)
			{ fail("kova_rdma_task_receive_allocate_init", err); return; }
		m_receives.push_back(task);
	}
}

rdma_side::~rdma_side()
{
	if (m_rdma != nullptr) {
		kova_error err = kova_ctx_stop(ctx());
		for (int i = 0; err == KOVA_ERROR_IN_PROGRESS && i < 100000; ++i) {
			kova_pe_progress(m_pe);
			err = kova_ctx_stop(ctx());
		}
		for (auto *task : m_receives)
			kova_task_free(kova_rdma_task_receive_as_task(task));
		for (auto *task : m_sends)
			kova_task_free(kova_rdma_task_send_as_task(task));
		kova_rdma_destroy(m_rdma);
	}
	for (kova_buf *buf : m_bufs)
		kova_buf_dec_refcount(buf, nullptr);
	if (m_inventory != nullptr)
		kova_buf_inventory_destroy(m_inventory);
	if (m_mmap != nullptr)
		kova_mmap_destroy(m_mmap);
	if (m_pe != nullptr)
		kova_pe_destroy(m_pe);
	if (m_dev != nullptr)
		kova_dev_close(m_dev);
	if (m_devinfos != nullptr)
		kova_devinfo_destroy_list(m_devinfos);
}

void rdma_side::fail(const std::string &what, kova_error err)
{
	if (m_error.empty())
		m_error = what + ": " + kova_error_get_name(err);
}

std::vector<uint8_t> rdma_side::export_details()
{
	const void *details = nullptr;
	std::size_t size = 0;
	kova_error err = kova_rdma_export(m_rdma, &details, &size, &m_connection);
	if (err != KOVA_SUCCESS) {
		fail("kova_rdma_export", err);
		return {};
	}
	auto const *bytes = static_cast<const uint8_t *>(details);
	std::vector<uint8_t> copy(bytes, bytes + size);
	for (uint32_t i = num_receive_buffers(); i < m_num_buffers && m_sends.size() < m_num_buffers - num_receive_buffers();
	     ++i) {
		kova_rdma_task_send *task = nullptr;
		if ((err = kova_rdma_task_send_allocate_init(m_rdma, m_connection, m_bufs[i],
							     kova_data{.u64 = send_flag | i}, &task)) != 0) {
			fail("kova_rdma_task_send_allocate_init", err);
			break;
		}
		m_sends.push_back(task);
	}
	return copy;
}

kova_error rdma_side::connect(const std::vector<uint8_t> &details)
{
	return kova_rdma_connect(m_rdma, details.data(), details.size(), m_connection);
}

kova_ctx_states rdma_side::state()
{
	kova_ctx_states value = KOVA_CTX_STATE_IDLE;
	kova_ctx_get_state(ctx(), &value);
	return value;
}

bool rdma_side::wait_running(std::chrono::milliseconds limit)
{
	return progress_until([this] { return state() == KOVA_CTX_STATE_RUNNING; }, limit);
}

kova_error rdma_side::post_receive(uint32_t index)
{
	kova_buf_reset_data_len(m_bufs[index]);
	return kova_task_submit(receive_task(index));
}

kova_error rdma_side::send(uint32_t index, std::size_t len)
{
	// The message is the buffer's first len bytes as they stand.
	m_bufs[index]->data_len = len;
	return kova_task_submit(send_task(index - num_receive_buffers()));
}

bool rdma_side::progress_until(const std::function<bool()> &until, std::chrono::milliseconds limit)
{
	auto const deadline = std::chrono::steady_clock::now() + limit;
	for (uint32_t turn = 1; !until(); ++turn) {
		kova_pe_progress(m_pe);
		if (turn % 64 == 0 && std::chrono::steady_clock::now() > deadline)
			return until();
	}
	return true;
}

void rdma_side::on_done(kova_task *task, kova_data user_data, kova_data ctx_user_data)
{
	auto *side = static_cast<rdma_side *>(ctx_user_data.ptr);
	bool const is_send = (user_data.u64 & send_flag) != 0;
	auto const index = static_cast<uint32_t>(user_data.u64 & 0xffffffffU);
	uint32_t len = 0;
	if (!is_send)
		len = kova_rdma_task_receive_get_result_len(side->m_receives[index]);
	side->completions.push_back({is_send, index, kova_task_get_status(task), len});
}

} // namespace kova::rdma_test
