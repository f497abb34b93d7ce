// What the RDMA tests share: a device, engines, memory cut into buffers, the SDK trace and the
// exception a call throws.
#pragma once

#include "aligned_buffer.hpp"
#include "kova_exception.hpp"
#include "support/kova_throws.hpp"
#include "utility/kova_utils.hpp"

#include <kova/buf.h>
#include <kova/dev.h>
#include <kova/test_control.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kova::bench::rdma_test {

inline std::string read_trace()
{
	std::string text(kova_test_trace_read(nullptr, 0), '\0');
	kova_test_trace_read(text.data(), text.size() + 1);
	return text;
}

using kova::test::thrown_by;

// Buffers of one size over one map.
class buffer_set {
public:
	buffer_set(kova_dev *dev, uint32_t count, uint32_t size)
		: m_memory{uint64_t{count} * size},
		  m_mmap{utility::make_mmap(m_memory, utility::span<kova_dev *>{&dev, 1}, kova::optional<uint32_t>{7U})},
		  m_inventory{utility::make_inventory(count)}
	{
		for (uint32_t i = 0; i < count; ++i)
			m_bufs.push_back(utility::get_buffer(m_inventory.get(), m_mmap.get(),
							     reinterpret_cast<char *>(m_memory.data()) + uint64_t{i} * size,
							     size));
	}
	~buffer_set()
	{
		for (kova_buf *buf : m_bufs)
			kova_buf_dec_refcount(buf, nullptr);
	}
	buffer_set(const buffer_set &) = delete;
	buffer_set &operator=(const buffer_set &) = delete;

	kova_buf *operator[](std::size_t i) const { return m_bufs[i]; }

private:
	aligned_buffer m_memory;
	std::unique_ptr<kova_mmap, kova::delegated_deleter<kova_mmap>> m_mmap;
	std::unique_ptr<kova_buf_inventory, kova::delegated_deleter<kova_buf_inventory>> m_inventory;
	std::vector<kova_buf *> m_bufs;
};

class rdma_fixture : public ::testing::Test {
protected:
	void SetUp() override
	{
		kova_test_reset();
		m_devinfos = std::make_unique<utility::devinfo_list>(utility::make_devinfo_list());
		ASSERT_EQ(kova_dev_open(*m_devinfos->begin(), &m_dev), KOVA_SUCCESS);
	}

	void TearDown() override
	{
		if (m_dev != nullptr)
			kova_dev_close(m_dev);
		kova_test_reset();
	}

	std::unique_ptr<utility::devinfo_list> m_devinfos;
	kova_dev *m_dev = nullptr;
};

} // namespace kova::bench::rdma_test
