// Two network namespaces joined by a veth pair (names unique to this process, removed on
// destruction), threads that run inside one of them, and the SDK objects an Ethernet queue needs.
#pragma once

#include <kova/buf.h>
#include <kova/ctx.h>
#include <kova/dev.h>
#include <kova/error.h>
#include <kova/eth.h>
#include <kova/flow.h>
#include <kova/mmap.h>
#include <kova/pe.h>
#include <kova/task.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace kova::sdk_eth_test {

inline bool run_quietly(const std::string &command)
{
	return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

inline bool under_ci()
{
	const char *ci = std::getenv("CI");
	return ci != nullptr && std::string{ci} == "true";
}

// Namespaces <tag>a<pid> and <tag>b<pid>, the veth end <tag>a<pid> in the first and its peer
// <tag>b<pid> in the second, both up, IPv6 off so that only the tests' frames cross.
class veth_namespaces {
public:
	explicit veth_namespaces(const std::string &tag)
	    : m_a{tag + "a" + std::to_string(::getpid())}, m_b{tag + "b" + std::to_string(::getpid())}
	{
		remove();
		m_created = run_quietly("ip netns add " + m_a) && run_quietly("ip netns add " + m_b);
		if (!m_created)
			return;
		m_ready = no_ipv6(m_a) && no_ipv6(m_b) &&
			  run_quietly("ip -n " + m_a + " link add " + m_a + " type veth peer name " + m_b + " netns " + m_b) &&
			  run_quietly("ip -n " + m_a + " link set " + m_a + " up") &&
			  run_quietly("ip -n " + m_b + " link set " + m_b + " up");
	}
	veth_namespaces(const veth_namespaces &) = delete;
	veth_namespaces &operator=(const veth_namespaces &) = delete;
	~veth_namespaces() { remove(); }

	[[nodiscard]] bool ready() const { return m_ready; }
	// Namespace and interface names are the same.
	[[nodiscard]] const std::string &a() const { return m_a; }
	[[nodiscard]] const std::string &b() const { return m_b; }

private:
	static bool no_ipv6(const std::string &ns)
	{
		return run_quietly("ip netns exec " + ns +
				   " sh -c 'echo 1 >/proc/sys/net/ipv6/conf/all/disable_ipv6 &&"
				   " echo 1 >/proc/sys/net/ipv6/conf/default/disable_ipv6'");
	}

	void remove()
	{
		run_quietly("ip netns del " + m_a);
		run_quietly("ip netns del " + m_b);
	}

	std::string m_a;
	std::string m_b;
	bool m_created = false;
	bool m_ready = false;
};

// Moves the calling thread into the namespace; false when it cannot.
inline bool enter_namespace(const std::string &name)
{
	int const fd = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	bool const entered = ::setns(fd, CLONE_NEWNET) == 0;
	::close(fd);
	return entered;
}

// Runs the body on a thread inside the namespace and waits for it.
inline void run_in_namespace(const std::string &name, const std::function<void()> &body)
{
	std::thread worker{[&] {
		ASSERT_TRUE(enter_namespace(name)) << name;
		body();
	}};
	worker.join();
}

// Replaces the device table: 03:00.0 on interface `first`, 03:00.1 on `second`.
inline void use_interfaces(const std::string &first, const std::string &second)
{
	const char *const reps0[] = {"03:00.2"};
	const char *const reps1[] = {"03:00.3"};
	kova_test_device const devices[] = {
		{"03:00.0", "kova_t0", first.c_str(), 1, reps0, 1},
		{"03:00.1", "kova_t1", second.c_str(), 1, reps1, 1},
	};
	ASSERT_EQ(kova_test_set_device_table(devices, 2), KOVA_SUCCESS);
}

// An opened device, an engine and buffers of one size cut from one mapped region: empty, or each
// holding the frame (data length = its size).
class queue_resources {
public:
	queue_resources(uint32_t device_index, uint32_t buffer_count, uint32_t buffer_size,
			const std::vector<uint8_t> &frame = {})
	    : m_memory(std::size_t{buffer_count} * buffer_size)
	{
		uint32_t count = 0;
		EXPECT_EQ(kova_devinfo_create_list(&m_list, &count), KOVA_SUCCESS);
		EXPECT_GT(count, device_index);
		EXPECT_EQ(kova_dev_open(m_list[device_index], &dev), KOVA_SUCCESS);
		EXPECT_EQ(kova_pe_create(&pe), KOVA_SUCCESS);
		EXPECT_EQ(kova_mmap_create(&m_mmap), KOVA_SUCCESS);
		EXPECT_EQ(kova_mmap_add_dev(m_mmap, dev), KOVA_SUCCESS);
		EXPECT_EQ(kova_mmap_set_memrange(m_mmap, m_memory.data(), m_memory.size()), KOVA_SUCCESS);
		EXPECT_EQ(kova_mmap_start(m_mmap), KOVA_SUCCESS);
		EXPECT_EQ(kova_buf_inventory_create(buffer_count, &m_inventory), KOVA_SUCCESS);
		EXPECT_EQ(kova_buf_inventory_start(m_inventory), KOVA_SUCCESS);
		for (uint32_t i = 0; i < buffer_count; ++i) {
			uint8_t *at = m_memory.data() + std::size_t{i} * buffer_size;
			if (!frame.empty())
				std::memcpy(at, frame.data(), frame.size());
			kova_buf *buf = nullptr;
			EXPECT_EQ(kova_buf_inventory_buf_get_by_args(m_inventory, m_mmap, at, buffer_size, at, frame.size(),
								     &buf),
				  KOVA_SUCCESS);
			buffers.push_back(buf);
		}
	}
	queue_resources(const queue_resources &) = delete;
	queue_resources &operator=(const queue_resources &) = delete;
	~queue_resources()
	{
		for (kova_buf *buf : buffers)
			kova_buf_dec_refcount(buf, nullptr);
		kova_buf_inventory_destroy(m_inventory);
		kova_mmap_destroy(m_mmap);
		kova_pe_destroy(pe);
		kova_dev_close(dev);
		kova_devinfo_destroy_list(m_list);
	}

	kova_dev *dev = nullptr;
	kova_pe *pe = nullptr;
	std::vector<kova_buf *> buffers;

private:
	std::vector<uint8_t> m_memory;
	kova_devinfo **m_list = nullptr;
	kova_mmap *m_mmap = nullptr;
	kova_buf_inventory *m_inventory = nullptr;
};

} // namespace kova::sdk_eth_test
