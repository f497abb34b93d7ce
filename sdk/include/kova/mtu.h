/* MTU sizes of the network offloads of the SDK stand-in. */
#ifndef KOVA_MTU_H
#define KOVA_MTU_H

enum kova_mtu_size {
	KOVA_MTU_SIZE_256_BYTES = 0,
	KOVA_MTU_SIZE_512_BYTES = 1,
	KOVA_MTU_SIZE_1K_BYTES = 2,
	KOVA_MTU_SIZE_2K_BYTES = 3,
	KOVA_MTU_SIZE_4K_BYTES = 4,
	KOVA_MTU_SIZE_RAW_ETHERNET = 5, /* the raw Ethernet frame size */
};

#endif
