// The GPU handles of the common library and of the network libraries as the kernels of the
// emulated GPU read them (the kernel launch library): plain records in host memory.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

// A started buffer array: element i is [base + i * elem_size, base + (i + 1) * elem_size) in the
// address space of process pid (0: this process).
struct kova_gpu_buf_arr {
	std::byte *base;
	uint64_t elem_size;
	uint32_t num_elems;
	pid_t pid;
};

// An RDMA queue pair whose data path is on the GPU. Until the connection is established, fd is -1;
// then it is the connection's stream socket, which from then on only the kernels use: each message
// is a 4-byte length in native byte order followed by that many bytes. A kernel that finds the
// stream broken stores what broke it into lost (the errno of the failed call, -1 when the peer closed
// it, EMSGSIZE for a message larger than its buffer) and uses the stream no more; the RDMA library
// sees it in its next progress call. 0 while the stream works.
struct kova_gpu_dev_rdma {
	std::atomic<int> fd;
	std::atomic<int> lost;
};

// A receive queue whose data path is on the GPU: the kernel calls receive on the queue's behalf, from
// one emulator thread at a time. receive places up to max_packets frames steered to the queue into
// its cyclic packet memory, waiting at most timeout_ns (or until *stop is raised) for them, and
// returns how many it placed; their lengths are added to *bytes.
struct kova_gpu_eth_rxq {
	void *queue;
	uint32_t (*receive)(kova_gpu_eth_rxq *rxq, uint32_t max_packets, uint64_t timeout_ns, uint64_t *bytes,
			    const uint8_t *stop);
};

// A send queue whose data path is on the GPU: send copies one frame of len bytes into the queue's
// send ring (0), or answers 5 when no slot is free yet (the caller tries again) or 6 for a frame
// the port cannot carry (counted as a failed send and reported through the queue's error event).
// flush hands what was queued to the interface. One emulator thread at a time.
struct kova_gpu_eth_txq {
	void *queue;
	int (*send)(kova_gpu_eth_txq *txq, const void *frame, uint32_t len);
	void (*flush)(kova_gpu_eth_txq *txq);
};
