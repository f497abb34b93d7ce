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
