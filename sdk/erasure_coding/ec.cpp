// The erasure-coding library's control path: instance, capabilities, coding matrices, and the
// configuration, allocation and fields of the create, update and recover tasks. Galois
// multiplication and the derived update and recover matrices are not offered.
#include "ec_internal.hpp"

#include <kova_internal/capability.hpp>

#include <new>

using kova::sdk::capability_answer;
using kova::sdk::capability_value;
using kova::sdk::control_call;
using kova::sdk::query_value;
using kova::sdk::ec::buf_size_limit;

namespace {

constexpr uint64_t list_len_limit = 64;
constexpr uint64_t tasks_limit = 1u << 16;

kova_error on_start(kova_ctx *ctx)
{
	auto *lib = reinterpret_cast<kova_ec *>(ctx);
	uint64_t const input = kova::sdk::largest_source_len(ctx, buf_size_limit);
	// Outputs through a list of several buffers are staged up to the largest source size.
	if (!lib->input_staging.allocate(input) || !lib->output_staging.allocate(input))
		return KOVA_ERROR_NO_MEMORY;
	return KOVA_SUCCESS;
}

void on_stop(kova_ctx *ctx)
{
	auto *lib = reinterpret_cast<kova_ec *>(ctx);
	lib->input_staging.release();
	lib->output_staging.release();
}

constexpr kova::sdk::ctx_ops ec_ops{"kova_ec", on_start, on_stop};

kova_error supported(const kova_devinfo *devinfo, const char *query) noexcept
{
	return devinfo == nullptr ? kova_error{KOVA_ERROR_INVALID_VALUE} : capability_answer(query, KOVA_SUCCESS);
}

kova_error configure(kova_ec *lib, kova::sdk::task_kind kova_ec::*kind, const char *function,
		     kova_task_completion_cb_t success_cb, kova_task_completion_cb_t error_cb, uint32_t num_tasks) noexcept
{
	if (lib == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call(function, true, num_tasks))
		return forced;
	if (num_tasks > tasks_limit)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const err = kova::sdk::task_kind_configure(&(lib->*kind), success_cb, error_cb, num_tasks))
		return err;
	(lib->*kind).max_source_len = buf_size_limit;
	return KOVA_SUCCESS;
}

template <typename Task>
kova_error allocate(kova_ec *lib, kova::sdk::task_kind kova_ec::*kind, const char *function,
		    const kova_ec_matrix *matrix, const kova_buf *src, kova_buf *dst, kova_data user_data,
		    Task **task) noexcept
{
	if (lib == nullptr || matrix == nullptr || matrix->owner != lib || src == nullptr || dst == nullptr ||
	    task == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call(function))
		return forced;
	kova_task *taken = nullptr;
	if (kova_error const err = kova::sdk::task_alloc(&(lib->*kind), user_data, src, dst, &taken))
		return err;
	*task = kova::sdk::task_cast<Task>(taken);
	(*task)->matrix = matrix;
	return KOVA_SUCCESS;
}

} // namespace

KOVA_EXPORT kova_error kova_ec_create(kova_dev *dev, kova_ec **ec)
{
	if (dev == nullptr || ec == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_ec_create"))
		return forced;
	auto *lib = new (std::nothrow) kova_ec{};
	if (lib == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	kova::sdk::ctx_init(&lib->ctx, &ec_ops, dev);
	kova::sdk::task_kind_init<kova_ec_task_create>(&lib->create, &lib->ctx, "create", kova::sdk::ec::run_create, 0);
	kova::sdk::task_kind_init<kova_ec_task_update>(&lib->update, &lib->ctx, "update", kova::sdk::ec::run_update, 0);
	kova::sdk::task_kind_init<kova_ec_task_recover>(&lib->recover, &lib->ctx, "recover", kova::sdk::ec::run_recover,
						       0);
	*ec = lib;
	return KOVA_SUCCESS;
}

// Matrices are destroyed before their instance (KOVA_ERROR_BAD_STATE while one lives).
KOVA_EXPORT kova_error kova_ec_destroy(kova_ec *ec)
{
	if (ec == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_ec_destroy"))
		return forced;
	if (ec->matrices != nullptr)
		return KOVA_ERROR_BAD_STATE;
	if (kova_error const err = kova::sdk::ctx_release(&ec->ctx))
		return err;
	delete ec;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_ctx *kova_ec_as_ctx(kova_ec *ec)
{
	return ec == nullptr ? nullptr : &ec->ctx;
}

KOVA_EXPORT kova_error kova_ec_cap_get_max_block_size(const kova_devinfo *devinfo, uint64_t *max_block_size)
{
	return query_value(devinfo, "kova_ec_cap_get_max_block_size", buf_size_limit, max_block_size);
}

KOVA_EXPORT kova_error kova_ec_cap_get_max_buf_list_len(const kova_devinfo *devinfo, uint32_t *max_buf_list_len)
{
	return query_value(devinfo, "kova_ec_cap_get_max_buf_list_len", list_len_limit, max_buf_list_len);
}

// Up to 256 blocks in all the code runs in GF(2^8), beyond in GF(2^16); KOVA_ERROR_INVALID_VALUE for no blocks,
// more than 65536 in all, or more than 65536 coefficients (data x redundancy blocks).
KOVA_EXPORT kova_error kova_ec_matrix_create(kova_ec *ec, uint32_t type, size_t data_block_count,
					     size_t rdnc_block_count, kova_ec_matrix **matrix)
{
	if (ec == nullptr || matrix == nullptr || data_block_count > UINT32_MAX || rdnc_block_count > UINT32_MAX)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_ec_matrix_create", true, type))
		return forced;
	auto *made = new (std::nothrow) kova_ec_matrix{};
	if (made == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	made->owner = ec;
	made->type = type;
	made->k = static_cast<uint32_t>(data_block_count);
	made->m = static_cast<uint32_t>(rdnc_block_count);
	if (kova_error const err = kova::sdk::ec::build_matrix(made)) {
		delete made;
		return err;
	}
	made->next = ec->matrices;
	ec->matrices = made;
	*matrix = made;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_ec_matrix_create_from_raw(kova_ec *, const uint8_t *, size_t, size_t, kova_ec_matrix **)
{
	return KOVA_ERROR_NOT_SUPPORTED;
}

KOVA_EXPORT kova_error kova_ec_matrix_create_update(kova_ec *, const kova_ec_matrix *, const uint32_t *, size_t,
						    kova_ec_matrix **)
{
	return KOVA_ERROR_NOT_SUPPORTED;
}

KOVA_EXPORT kova_error kova_ec_matrix_create_recover(kova_ec *, const kova_ec_matrix *, const uint32_t *, size_t,
						     kova_ec_matrix **)
{
	return KOVA_ERROR_NOT_SUPPORTED;
}

// 18 while tasks of the owner are in flight.
KOVA_EXPORT kova_error kova_ec_matrix_destroy(kova_ec_matrix *matrix)
{
	if (matrix == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_ec_matrix_destroy"))
		return forced;
	kova_ec *owner = matrix->owner;
	if (owner->ctx.num_inflight != 0)
		return KOVA_ERROR_BAD_STATE;
	for (kova_ec_matrix **link = &owner->matrices; *link != nullptr; link = &(*link)->next) {
		if (*link == matrix) {
			*link = matrix->next;
			break;
		}
	}
	delete matrix;
	return KOVA_SUCCESS;
}

/* Galois multiplication: not offered. */

KOVA_EXPORT kova_error kova_ec_cap_task_galois_mul_is_supported(const kova_devinfo *devinfo)
{
	return devinfo == nullptr ? kova_error{KOVA_ERROR_INVALID_VALUE} : kova_error{KOVA_ERROR_NOT_SUPPORTED};
}

KOVA_EXPORT kova_error kova_ec_task_galois_mul_set_conf(kova_ec *, kova_task_completion_cb_t, kova_task_completion_cb_t,
							uint32_t)
{
	return KOVA_ERROR_NOT_SUPPORTED;
}

KOVA_EXPORT kova_error kova_ec_task_galois_mul_allocate_init(kova_ec *, const kova_ec_matrix *, const kova_buf *,
							     kova_buf *, kova_data, kova_ec_task_galois_mul **)
{
	return KOVA_ERROR_NOT_SUPPORTED;
}

KOVA_EXPORT kova_task *kova_ec_task_galois_mul_as_task(kova_ec_task_galois_mul *)
{
	return nullptr;
}

KOVA_EXPORT void kova_ec_task_galois_mul_set_coding_matrix(kova_ec_task_galois_mul *, const kova_ec_matrix *)
{
}

KOVA_EXPORT const kova_ec_matrix *kova_ec_task_galois_mul_get_coding_matrix(const kova_ec_task_galois_mul *)
{
	return nullptr;
}

KOVA_EXPORT void kova_ec_task_galois_mul_set_src_buf(kova_ec_task_galois_mul *, const kova_buf *)
{
}

KOVA_EXPORT const kova_buf *kova_ec_task_galois_mul_get_src_buf(const kova_ec_task_galois_mul *)
{
	return nullptr;
}

KOVA_EXPORT void kova_ec_task_galois_mul_set_dst_buf(kova_ec_task_galois_mul *, kova_buf *)
{
}

KOVA_EXPORT kova_buf *kova_ec_task_galois_mul_get_dst_buf(const kova_ec_task_galois_mul *)
{
	return nullptr;
}

/* Create. */

KOVA_EXPORT kova_error kova_ec_cap_task_create_is_supported(const kova_devinfo *devinfo)
{
	return supported(devinfo, "kova_ec_cap_task_create_is_supported");
}

KOVA_EXPORT kova_error kova_ec_task_create_set_conf(kova_ec *ec, kova_task_completion_cb_t success_cb,
						    kova_task_completion_cb_t error_cb, uint32_t num_tasks)
{
	return configure(ec, &kova_ec::create, "kova_ec_task_create_set_conf", success_cb, error_cb, num_tasks);
}

KOVA_EXPORT kova_error kova_ec_task_create_allocate_init(kova_ec *ec, const kova_ec_matrix *coding_matrix, const kova_buf *original_data_blocks,
							 kova_buf *rdnc_blocks, kova_data user_data, kova_ec_task_create **task)
{
	return allocate(ec, &kova_ec::create, "kova_ec_task_create_allocate_init", coding_matrix, original_data_blocks, rdnc_blocks, user_data, task);
}

KOVA_EXPORT kova_task *kova_ec_task_create_as_task(kova_ec_task_create *task)
{
	return task == nullptr ? nullptr : &task->task;
}

KOVA_EXPORT void kova_ec_task_create_set_coding_matrix(kova_ec_task_create *task, const kova_ec_matrix *coding_matrix)
{
	if (task != nullptr && coding_matrix != nullptr)
		task->matrix = coding_matrix;
}

KOVA_EXPORT const kova_ec_matrix *kova_ec_task_create_get_coding_matrix(const kova_ec_task_create *task)
{
	return task == nullptr ? nullptr : task->matrix;
}

KOVA_EXPORT void kova_ec_task_create_set_original_data_blocks(kova_ec_task_create *task, const kova_buf *original_data_blocks)
{
	if (task != nullptr)
		task->task.src = original_data_blocks;
}

KOVA_EXPORT const kova_buf *kova_ec_task_create_get_original_data_blocks(const kova_ec_task_create *task)
{
	return task == nullptr ? nullptr : task->task.src;
}

KOVA_EXPORT void kova_ec_task_create_set_rdnc_blocks(kova_ec_task_create *task, kova_buf *rdnc_blocks)
{
	if (task != nullptr)
		task->task.dst = rdnc_blocks;
}

KOVA_EXPORT kova_buf *kova_ec_task_create_get_rdnc_blocks(const kova_ec_task_create *task)
{
	return task == nullptr ? nullptr : task->task.dst;
}

/* Update. */

KOVA_EXPORT kova_error kova_ec_cap_task_update_is_supported(const kova_devinfo *devinfo)
{
	return supported(devinfo, "kova_ec_cap_task_update_is_supported");
}

KOVA_EXPORT kova_error kova_ec_task_update_set_conf(kova_ec *ec, kova_task_completion_cb_t success_cb,
						    kova_task_completion_cb_t error_cb, uint32_t num_tasks)
{
	return configure(ec, &kova_ec::update, "kova_ec_task_update_set_conf", success_cb, error_cb, num_tasks);
}

KOVA_EXPORT kova_error kova_ec_task_update_allocate_init(kova_ec *ec, const kova_ec_matrix *update_matrix, const kova_buf *original_updated_and_rdnc_blocks,
							 kova_buf *updated_rdnc_blocks, kova_data user_data, kova_ec_task_update **task)
{
	return allocate(ec, &kova_ec::update, "kova_ec_task_update_allocate_init", update_matrix, original_updated_and_rdnc_blocks, updated_rdnc_blocks, user_data, task);
}

KOVA_EXPORT kova_task *kova_ec_task_update_as_task(kova_ec_task_update *task)
{
	return task == nullptr ? nullptr : &task->task;
}

KOVA_EXPORT void kova_ec_task_update_set_update_matrix(kova_ec_task_update *task, const kova_ec_matrix *update_matrix)
{
	if (task != nullptr && update_matrix != nullptr)
		task->matrix = update_matrix;
}

KOVA_EXPORT const kova_ec_matrix *kova_ec_task_update_get_update_matrix(const kova_ec_task_update *task)
{
	return task == nullptr ? nullptr : task->matrix;
}

KOVA_EXPORT void kova_ec_task_update_set_original_updated_and_rdnc_blocks(kova_ec_task_update *task, const kova_buf *original_updated_and_rdnc_blocks)
{
	if (task != nullptr)
		task->task.src = original_updated_and_rdnc_blocks;
}

KOVA_EXPORT const kova_buf *kova_ec_task_update_get_original_updated_and_rdnc_blocks(const kova_ec_task_update *task)
{
	return task == nullptr ? nullptr : task->task.src;
}

KOVA_EXPORT void kova_ec_task_update_set_updated_rdnc_blocks(kova_ec_task_update *task, kova_buf *updated_rdnc_blocks)
{
	if (task != nullptr)
		task->task.dst = updated_rdnc_blocks;
}

KOVA_EXPORT kova_buf *kova_ec_task_update_get_updated_rdnc_blocks(const kova_ec_task_update *task)
{
	return task == nullptr ? nullptr : task->task.dst;
}

/* Recover. */

KOVA_EXPORT kova_error kova_ec_cap_task_recover_is_supported(const kova_devinfo *devinfo)
{
	return supported(devinfo, "kova_ec_cap_task_recover_is_supported");
}

KOVA_EXPORT kova_error kova_ec_task_recover_set_conf(kova_ec *ec, kova_task_completion_cb_t success_cb,
						    kova_task_completion_cb_t error_cb, uint32_t num_tasks)
{
	return configure(ec, &kova_ec::recover, "kova_ec_task_recover_set_conf", success_cb, error_cb, num_tasks);
}

KOVA_EXPORT kova_error kova_ec_task_recover_allocate_init(kova_ec *ec, const kova_ec_matrix *recover_matrix, const kova_buf *available_blocks,
							 kova_buf *recovered_data_blocks, kova_data user_data, kova_ec_task_recover **task)
{
	return allocate(ec, &kova_ec::recover, "kova_ec_task_recover_allocate_init", recover_matrix, available_blocks, recovered_data_blocks, user_data, task);
}

KOVA_EXPORT kova_task *kova_ec_task_recover_as_task(kova_ec_task_recover *task)
{
	return task == nullptr ? nullptr : &task->task;
}

KOVA_EXPORT void kova_ec_task_recover_set_recover_matrix(kova_ec_task_recover *task, const kova_ec_matrix *recover_matrix)
{
	if (task != nullptr && recover_matrix != nullptr)
		task->matrix = recover_matrix;
}

KOVA_EXPORT const kova_ec_matrix *kova_ec_task_recover_get_recover_matrix(const kova_ec_task_recover *task)
{
	return task == nullptr ? nullptr : task->matrix;
}

KOVA_EXPORT void kova_ec_task_recover_set_available_blocks(kova_ec_task_recover *task, const kova_buf *available_blocks)
{
	if (task != nullptr)
		task->task.src = available_blocks;
}

KOVA_EXPORT const kova_buf *kova_ec_task_recover_get_available_blocks(const kova_ec_task_recover *task)
{
	return task == nullptr ? nullptr : task->task.src;
}

KOVA_EXPORT void kova_ec_task_recover_set_recovered_data_blocks(kova_ec_task_recover *task, kova_buf *recovered_data_blocks)
{
	if (task != nullptr)
		task->task.dst = recovered_data_blocks;
}

KOVA_EXPORT kova_buf *kova_ec_task_recover_get_recovered_data(const kova_ec_task_recover *task)
{
	return task == nullptr ? nullptr : task->task.dst;
}
