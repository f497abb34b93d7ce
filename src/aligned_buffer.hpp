// An owned block of bytes whose data pointer is aligned to the memory page size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kova::bench {

class aligned_buffer {
public:
	explicit aligned_buffer(uint64_t size);
	aligned_buffer(const void *source, uint64_t size);
	aligned_buffer(const aligned_buffer &other);
	aligned_buffer &operator=(const aligned_buffer &other);
	aligned_buffer(aligned_buffer &&) noexcept = default;
	aligned_buffer &operator=(aligned_buffer &&) noexcept = default;
	~aligned_buffer() = default;

	// New storage of the given size; the old contents are not kept.
	void resize(uint64_t size);

	[[nodiscard]] std::byte *data() noexcept { return m_data; }
	[[nodiscard]] const std::byte *data() const noexcept { return m_data; }
	[[nodiscard]] uint64_t size() const noexcept { return m_size; }

private:
	void allocate(uint64_t size);

	std::unique_ptr<std::byte[]> m_storage;
	std::byte *m_data = nullptr;
	uint64_t m_size = 0;
};

} // namespace kova::bench
