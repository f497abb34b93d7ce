/*
 * Buffer inventories and buffers.
 *
 * A buffer covers [head, head + len) of a started map; its data is [data, data + data_len) inside
 * it. Buffers form lists with kova_buf_chain_list. A task reads the data of every element of its
 * source list in order, and appends its output to its destination list: from data + data_len of
 * each element up to the element's end, element after element, growing each data_len.
 */
#ifndef KOVA_BUF_H
#define KOVA_BUF_H

#include <kova/types.h>

/*
 * An inventory of num_elements buffer descriptors. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null;
 * KOVA_ERROR_NO_MEMORY.
 */
KOVA_EXPORT kova_error kova_buf_inventory_create(size_t num_elements, kova_buf_inventory **inventory);

/* Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null; KOVA_ERROR_BAD_STATE when already started. */
KOVA_EXPORT kova_error kova_buf_inventory_start(kova_buf_inventory *inventory);

/*
 * Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null; KOVA_ERROR_BAD_STATE (the inventory stays) while
 * buffers are outstanding.
 */
KOVA_EXPORT kova_error kova_buf_inventory_destroy(kova_buf_inventory *inventory);

/*
 * A buffer over [addr, addr + len) of the map with data [data, data + data_len); reference count 1, no
 * successor. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null, a range outside the map or data outside
 * the buffer; KOVA_ERROR_BAD_STATE when the inventory or the map is not started; KOVA_ERROR_NO_MEMORY when no
 * element is free.
 */
KOVA_EXPORT kova_error kova_buf_inventory_buf_get_by_args(kova_buf_inventory *inventory, kova_mmap *mmap, void *addr,
							  size_t len, void *data, size_t data_len, kova_buf **buf);

/*
 * Appends the list that starts at list2 to the end of the list of list1. Returns KOVA_SUCCESS;
 * KOVA_ERROR_INVALID_VALUE for null, when list2 is not the head of a list or both are in the same list.
 */
KOVA_EXPORT kova_error kova_buf_chain_list(kova_buf *list1, kova_buf *list2);

/* The successor in the list, or null at the end. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null. */
KOVA_EXPORT kova_error kova_buf_get_next_in_list(const kova_buf *buf, kova_buf **next);

/* Getters. Each returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null. */
KOVA_EXPORT kova_error kova_buf_get_head(const kova_buf *buf, void **head);
KOVA_EXPORT kova_error kova_buf_get_len(const kova_buf *buf, size_t *len);
KOVA_EXPORT kova_error kova_buf_get_data(const kova_buf *buf, void **data);
KOVA_EXPORT kova_error kova_buf_get_data_len(const kova_buf *buf, size_t *data_len);

/* Sets the data length to 0; the data pointer stays. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null. */
KOVA_EXPORT kova_error kova_buf_reset_data_len(kova_buf *buf);

/*
 * Drops one reference and, at 0, returns the buffer and every buffer chained after it to the inventory.
 * refcount (may be null) receives the new count. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null;
 * KOVA_ERROR_BAD_STATE for an element inside a list (release its head) or a buffer already released.
 */
KOVA_EXPORT kova_error kova_buf_dec_refcount(kova_buf *buf, uint16_t *refcount);

#endif
