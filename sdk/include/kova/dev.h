/* Devices and their network representors, found by PCI address. */
#ifndef KOVA_DEV_H
#define KOVA_DEV_H

#include <kova/types.h>

/* Representor filters of kova_devinfo_rep_create_list. */
enum kova_devinfo_rep_filter {
	KOVA_DEVINFO_REP_FILTER_ALL = 0,
	KOVA_DEVINFO_REP_FILTER_EMULATED = 1,
	KOVA_DEVINFO_REP_FILTER_NET = 2,
};

/* Size of a PCI address text "DDDD:BB:DD.F" with its NUL. */
#define KOVA_DEVINFO_PCI_ADDR_SIZE 13

/* Size that always holds a device's InfiniBand or interface name with its NUL. */
#define KOVA_DEVINFO_NAME_SIZE 256

/*
 * Lists every device. The array and the entries belong to the list and are released
 * together by kova_devinfo_destroy_list. Thread-safe.
 * Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for a null out-parameter; KOVA_ERROR_NO_MEMORY when memory runs out.
 */
KOVA_EXPORT kova_error kova_devinfo_create_list(kova_devinfo ***list, uint32_t *count);

/* Releases a list made by kova_devinfo_create_list. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null. */
KOVA_EXPORT kova_error kova_devinfo_destroy_list(kova_devinfo **list);

/*
 * Sets *equal to 1 when the device has the PCI address "BB:DD.F" or "DDDD:BB:DD.F" (hexadecimal,
 * any case), else 0. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for a null argument or a malformed address.
 */
KOVA_EXPORT kova_error kova_devinfo_is_equal_pci_addr(const kova_devinfo *devinfo, const char *pci_addr,
						      uint8_t *equal);

/*
 * Writes the device's PCI address as "DDDD:BB:DD.F" (lower-case hexadecimal) with its NUL into
 * pci_addr_str, which holds KOVA_DEVINFO_PCI_ADDR_SIZE bytes. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null.
 */
KOVA_EXPORT kova_error kova_devinfo_get_pci_addr_str(const kova_devinfo *devinfo, char *pci_addr_str);

/*
 * Copies the NUL-terminated InfiniBand name. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null or when
 * len is too small.
 */
KOVA_EXPORT kova_error kova_devinfo_get_ibdev_name(const kova_devinfo *devinfo, char *name, uint32_t len);

/*
 * Copies the NUL-terminated network interface name. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null or
 * when len is too small.
 */
KOVA_EXPORT kova_error kova_devinfo_get_iface_name(const kova_devinfo *devinfo, char *name, uint32_t len);

/*
 * Whether representors can be listed with KOVA_DEVINFO_REP_FILTER_NET. Returns KOVA_SUCCESS;
 * KOVA_ERROR_INVALID_VALUE for null. Thread-safe.
 */
KOVA_EXPORT kova_error kova_devinfo_rep_cap_is_filter_net_supported(const kova_devinfo *devinfo, uint8_t *supported);

/*
 * Opens a device; several opens of one device give independent handles. Returns KOVA_SUCCESS;
 * KOVA_ERROR_INVALID_VALUE for null; KOVA_ERROR_NO_MEMORY.
 */
KOVA_EXPORT kova_error kova_dev_open(const kova_devinfo *devinfo, kova_dev **dev);

/* Closes a device. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null. */
KOVA_EXPORT kova_error kova_dev_close(kova_dev *dev);

/* The device information of an opened device; valid while the device is open. Null for null. */
KOVA_EXPORT const kova_devinfo *kova_dev_as_devinfo(const kova_dev *dev);

/*
 * Lists the representors of an opened device that pass the filter. Released whole by
 * kova_devinfo_rep_destroy_list. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null or an unknown filter;
 * KOVA_ERROR_NOT_SUPPORTED when the device cannot filter network representors and the filter asks for them;
 * KOVA_ERROR_NO_MEMORY.
 */
KOVA_EXPORT kova_error kova_devinfo_rep_create_list(kova_dev *dev, int filter, kova_devinfo_rep ***list,
						    uint32_t *count);

/* Releases a list made by kova_devinfo_rep_create_list. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null. */
KOVA_EXPORT kova_error kova_devinfo_rep_destroy_list(kova_devinfo_rep **list);

/* As kova_devinfo_is_equal_pci_addr, for a representor. */
KOVA_EXPORT kova_error kova_devinfo_rep_is_equal_pci_addr(const kova_devinfo_rep *rep, const char *pci_addr,
							  uint8_t *equal);

/* As kova_devinfo_get_pci_addr_str, for a representor. */
KOVA_EXPORT kova_error kova_devinfo_rep_get_pci_addr_str(const kova_devinfo_rep *rep, char *pci_addr_str);

/* Opens a representor. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null; KOVA_ERROR_NO_MEMORY. */
KOVA_EXPORT kova_error kova_dev_rep_open(const kova_devinfo_rep *rep, kova_dev_rep **dev_rep);

/* Closes a representor. Returns KOVA_SUCCESS; KOVA_ERROR_INVALID_VALUE for null. */
KOVA_EXPORT kova_error kova_dev_rep_close(kova_dev_rep *dev_rep);

#endif
