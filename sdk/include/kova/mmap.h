/*
 * Memory maps: a memory range registered with one or more devices. A map is configured (devices,
 * range, permissions), then started; buffers are taken only from a started map.
 */
#ifndef KOVA_MMAP_H
#define KOVA_MMAP_H

#include <kova/types.h>

/* Access permission bits; the stand-in stores them only. */
enum kova_access_flag {
	KOVA_ACCESS_FLAG_LOCAL_READ_ONLY = 0,
	KOVA_ACCESS_FLAG_LOCAL_READ_WRITE = 1,
	KOVA_ACCESS_FLAG_RDMA_READ = 2,
	KOVA_ACCESS_FLAG_RDMA_WRITE = 4,
	KOVA_ACCESS_FLAG_RDMA_ATOMIC = 8,
	KOVA_ACCESS_FLAG_PCI_READ_WRITE = 16,
	KOVA_ACCESS_FLAG_PCI_RELAXED_ORDERING = 32,
};

/* Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null; KOVA_ERROR_NO_MEMORY. */
KOVA_EXPORT kova_error kova_mmap_create(kova_mmap **mmap);

/*
 * How many devices may be added (1 by default). Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null or 0;
 * KOVA_ERROR_BAD_STATE once started or below the added count.
 */
KOVA_EXPORT kova_error kova_mmap_set_max_num_devices(kova_mmap *mmap, uint32_t max_num_devices);

/*
 * Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null; KOVA_ERROR_NO_MEMORY beyond the maximum;
 * KOVA_ERROR_BAD_STATE once started; KOVA_ERROR_ALREADY_EXIST when this handle was added already.
 */
KOVA_EXPORT kova_error kova_mmap_add_dev(kova_mmap *mmap, kova_dev *dev);

/*
 * Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null or zero length or a range that wraps;
 * KOVA_ERROR_BAD_STATE once started.
 */
KOVA_EXPORT kova_error kova_mmap_set_memrange(kova_mmap *mmap, void *addr, size_t len);

/* Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null; KOVA_ERROR_BAD_STATE once started. */
KOVA_EXPORT kova_error kova_mmap_set_permissions(kova_mmap *mmap, uint32_t access_mask);

/*
 * Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null; KOVA_ERROR_BAD_STATE when no range is set or already
 * started; KOVA_ERROR_DRIVER when the memory cannot be registered.
 */
KOVA_EXPORT kova_error kova_mmap_start(kova_mmap *mmap);

/*
 * The range given to kova_mmap_set_memrange. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null;
 * KOVA_ERROR_BAD_STATE when no range is set.
 */
KOVA_EXPORT kova_error kova_mmap_get_memrange(const kova_mmap *mmap, void **addr, size_t *len);

/*
 * Exports a started map for use by another process of the same user on the same host. The descriptor (bytes at
 * *export_desc, *export_desc_len of them) is owned by the map and stays valid until kova_mmap_destroy; the
 * device must be one of the map's. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null, a map that is not
 * started or a device that is not the map's; KOVA_ERROR_NO_MEMORY.
 */
KOVA_EXPORT kova_error kova_mmap_export_pci(kova_mmap *mmap, kova_dev *dev, const void **export_desc,
					    size_t *export_desc_len);

/*
 * As kova_mmap_export_pci, for access by the peer of an RDMA connection (on this host, in the stand-in);
 * the same descriptor format, which kova_mmap_create_from_export takes.
 */
KOVA_EXPORT kova_error kova_mmap_export_rdma(kova_mmap *mmap, kova_dev *dev, const void **export_desc,
					     size_t *export_desc_len);

/*
 * Creates a started map over the memory another process exported with kova_mmap_export_pci. Its
 * range (kova_mmap_get_memrange) is the exporter's; buffers over it are used by tasks of libraries
 * that can reach remote memory (DMA): a copy into or out of it is a copy between the two processes.
 * Other libraries refuse such tasks at submission with KOVA_ERROR_NOT_SUPPORTED. A task whose remote memory is gone (the
 * exporter ended or destroyed its map) completes with KOVA_ERROR_IO_FAILED. Returns KOVA_SUCCESS;
 * KOVA_ERROR_INVALID_VALUE for null or a malformed
 * descriptor; KOVA_ERROR_IO_FAILED when the exporter or its map is gone or its memory cannot be reached (another
 * user, another host); KOVA_ERROR_NO_MEMORY.
 */
KOVA_EXPORT kova_error kova_mmap_create_from_export(const void *opts, const void *export_desc, size_t export_desc_len,
						    kova_dev *dev, kova_mmap **mmap);

/*
 * Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null; KOVA_ERROR_BAD_STATE (the map stays) while buffers
 * over it are outstanding.
 */
KOVA_EXPORT kova_error kova_mmap_destroy(kova_mmap *mmap);

#endif
