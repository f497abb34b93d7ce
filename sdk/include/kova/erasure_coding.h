/*
 * Erasure-coding library (libkova_erasure_coding.so.2): coding matrices and the Galois-multiplication, create,
 * update and recover tasks over them.
 *
 * Unless noted, a function returns kova_error: 0 on success, KOVA_ERROR_INVALID_VALUE for a null or malformed
 * argument, KOVA_ERROR_BAD_STATE when the instance is in the wrong state, and KOVA_ERROR_NOT_SUPPORTED when the
 * device cannot do it. Out-parameters are written only on success. Capability queries take the device
 * information and answer KOVA_SUCCESS (yes) or KOVA_ERROR_NOT_SUPPORTED (no); they are thread-safe. Every task
 * kind follows one pattern: set_conf preallocates num_tasks tasks (>= 1) while the context is idle,
 * allocate_init takes one of them (KOVA_ERROR_NO_MEMORY when none is left), as_task gives its generic handle.
 * Block lists are buffer lists whose data is split into equally sized blocks.
 */
#ifndef KOVA_ERASURE_CODING_H
#define KOVA_ERASURE_CODING_H

#include <kova/error.h>
#include <kova/types.h>

typedef struct kova_ec kova_ec;
typedef struct kova_ec_matrix kova_ec_matrix;
typedef struct kova_ec_task_galois_mul kova_ec_task_galois_mul;
typedef struct kova_ec_task_create kova_ec_task_create;
typedef struct kova_ec_task_update kova_ec_task_update;
typedef struct kova_ec_task_recover kova_ec_task_recover;

enum kova_ec_matrix_type {
	KOVA_EC_MATRIX_TYPE_CAUCHY = 1,
	KOVA_EC_MATRIX_TYPE_VANDERMONDE = 2,
};

/* Instance, context and capabilities of the instance's device. */
KOVA_EXPORT kova_error kova_ec_create(kova_dev *dev, kova_ec **ec);
/* 18 while tasks are in flight; the instance is then kept. */
KOVA_EXPORT kova_error kova_ec_destroy(kova_ec *ec);
KOVA_EXPORT kova_ctx *kova_ec_as_ctx(kova_ec *ec);
KOVA_EXPORT kova_error kova_ec_cap_get_max_block_size(const kova_devinfo *devinfo, uint64_t *max_block_size);
KOVA_EXPORT kova_error kova_ec_cap_get_max_buf_list_len(const kova_devinfo *devinfo, uint32_t *max_buf_list_len);

/*
 * Coding matrices. A coding matrix maps data_block_count data blocks to rdnc_block_count redundancy blocks;
 * from_raw takes data_block_count x rdnc_block_count coefficients row by row. The update and recover matrices
 * derive from a coding matrix and a list of block indexes (updated data blocks, or missing blocks).
 */
KOVA_EXPORT kova_error kova_ec_matrix_create(kova_ec *ec, uint32_t type, size_t data_block_count,
					     size_t rdnc_block_count, kova_ec_matrix **matrix);
KOVA_EXPORT kova_error kova_ec_matrix_create_from_raw(kova_ec *ec, const uint8_t *coefficients,
						      size_t data_block_count, size_t rdnc_block_count,
						      kova_ec_matrix **matrix);
KOVA_EXPORT kova_error kova_ec_matrix_create_update(kova_ec *ec, const kova_ec_matrix *coding_matrix,
						    const uint32_t *update_indexes, size_t num_indexes,
						    kova_ec_matrix **matrix);
KOVA_EXPORT kova_error kova_ec_matrix_create_recover(kova_ec *ec, const kova_ec_matrix *coding_matrix,
						     const uint32_t *missing_indexes, size_t num_indexes,
						     kova_ec_matrix **matrix);
KOVA_EXPORT kova_error kova_ec_matrix_destroy(kova_ec_matrix *matrix);

/* Galois multiplication: dst = matrix x src. */
KOVA_EXPORT kova_error kova_ec_cap_task_galois_mul_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_ec_task_galois_mul_set_conf(kova_ec *ec, kova_task_completion_cb_t success_cb,
							kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_ec_task_galois_mul_allocate_init(kova_ec *ec, const kova_ec_matrix *coding_matrix,
							     const kova_buf *src_buf, kova_buf *dst_buf,
							     kova_data user_data, kova_ec_task_galois_mul **task);
KOVA_EXPORT kova_task *kova_ec_task_galois_mul_as_task(kova_ec_task_galois_mul *task);
KOVA_EXPORT void kova_ec_task_galois_mul_set_coding_matrix(kova_ec_task_galois_mul *task,
							   const kova_ec_matrix *coding_matrix);
KOVA_EXPORT const kova_ec_matrix *kova_ec_task_galois_mul_get_coding_matrix(const kova_ec_task_galois_mul *task);
KOVA_EXPORT void kova_ec_task_galois_mul_set_src_buf(kova_ec_task_galois_mul *task, const kova_buf *src_buf);
KOVA_EXPORT const kova_buf *kova_ec_task_galois_mul_get_src_buf(const kova_ec_task_galois_mul *task);
KOVA_EXPORT void kova_ec_task_galois_mul_set_dst_buf(kova_ec_task_galois_mul *task, kova_buf *dst_buf);
KOVA_EXPORT kova_buf *kova_ec_task_galois_mul_get_dst_buf(const kova_ec_task_galois_mul *task);

/* Create: redundancy blocks from the original data blocks. */
KOVA_EXPORT kova_error kova_ec_cap_task_create_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_ec_task_create_set_conf(kova_ec *ec, kova_task_completion_cb_t success_cb,
						    kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_ec_task_create_allocate_init(kova_ec *ec, const kova_ec_matrix *coding_matrix,
							 const kova_buf *original_data_blocks, kova_buf *rdnc_blocks,
							 kova_data user_data, kova_ec_task_create **task);
KOVA_EXPORT kova_task *kova_ec_task_create_as_task(kova_ec_task_create *task);
KOVA_EXPORT void kova_ec_task_create_set_coding_matrix(kova_ec_task_create *task,
						       const kova_ec_matrix *coding_matrix);
KOVA_EXPORT const kova_ec_matrix *kova_ec_task_create_get_coding_matrix(const kova_ec_task_create *task);
KOVA_EXPORT void kova_ec_task_create_set_original_data_blocks(kova_ec_task_create *task,
							      const kova_buf *original_data_blocks);
KOVA_EXPORT const kova_buf *kova_ec_task_create_get_original_data_blocks(const kova_ec_task_create *task);
KOVA_EXPORT void kova_ec_task_create_set_rdnc_blocks(kova_ec_task_create *task, kova_buf *rdnc_blocks);
KOVA_EXPORT kova_buf *kova_ec_task_create_get_rdnc_blocks(const kova_ec_task_create *task);

/* Update: new redundancy blocks from the original and updated data blocks and the old redundancy blocks. */
KOVA_EXPORT kova_error kova_ec_cap_task_update_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_ec_task_update_set_conf(kova_ec *ec, kova_task_completion_cb_t success_cb,
						    kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_ec_task_update_allocate_init(kova_ec *ec, const kova_ec_matrix *update_matrix,
							 const kova_buf *original_updated_and_rdnc_blocks,
							 kova_buf *updated_rdnc_blocks, kova_data user_data,
							 kova_ec_task_update **task);
KOVA_EXPORT kova_task *kova_ec_task_update_as_task(kova_ec_task_update *task);
KOVA_EXPORT void kova_ec_task_update_set_update_matrix(kova_ec_task_update *task,
						       const kova_ec_matrix *update_matrix);
KOVA_EXPORT const kova_ec_matrix *kova_ec_task_update_get_update_matrix(const kova_ec_task_update *task);
KOVA_EXPORT void kova_ec_task_update_set_original_updated_and_rdnc_blocks(
	kova_ec_task_update *task, const kova_buf *original_updated_and_rdnc_blocks);
KOVA_EXPORT const kova_buf *
kova_ec_task_update_get_original_updated_and_rdnc_blocks(const kova_ec_task_update *task);
KOVA_EXPORT void kova_ec_task_update_set_updated_rdnc_blocks(kova_ec_task_update *task,
							     kova_buf *updated_rdnc_blocks);
KOVA_EXPORT kova_buf *kova_ec_task_update_get_updated_rdnc_blocks(const kova_ec_task_update *task);

/* Recover: the missing data blocks from the available blocks. */
KOVA_EXPORT kova_error kova_ec_cap_task_recover_is_supported(const kova_devinfo *devinfo);
KOVA_EXPORT kova_error kova_ec_task_recover_set_conf(kova_ec *ec, kova_task_completion_cb_t success_cb,
						     kova_task_completion_cb_t error_cb, uint32_t num_tasks);
KOVA_EXPORT kova_error kova_ec_task_recover_allocate_init(kova_ec *ec, const kova_ec_matrix *recover_matrix,
							  const kova_buf *available_blocks,
							  kova_buf *recovered_data_blocks, kova_data user_data,
							  kova_ec_task_recover **task);
KOVA_EXPORT kova_task *kova_ec_task_recover_as_task(kova_ec_task_recover *task);
KOVA_EXPORT void kova_ec_task_recover_set_recover_matrix(kova_ec_task_recover *task,
							 const kova_ec_matrix *recover_matrix);
KOVA_EXPORT const kova_ec_matrix *kova_ec_task_recover_get_recover_matrix(const kova_ec_task_recover *task);
KOVA_EXPORT void kova_ec_task_recover_set_available_blocks(kova_ec_task_recover *task,
							   const kova_buf *available_blocks);
KOVA_EXPORT const kova_buf *kova_ec_task_recover_get_available_blocks(const kova_ec_task_recover *task);
KOVA_EXPORT void kova_ec_task_recover_set_recovered_data_blocks(kova_ec_task_recover *task,
								kova_buf *recovered_data_blocks);
KOVA_EXPORT kova_buf *kova_ec_task_recover_get_recovered_data(const kova_ec_task_recover *task);

#endif
