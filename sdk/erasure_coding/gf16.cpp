// GF(2^16) arithmetic; the region multiply uses AVX2 byte shuffles where the processor has them.
#include "gf16.hpp"

#include <immintrin.h>

#include <cstring>

namespace kova::sdk::ec::gf16 {
namespace {

constexpr uint32_t polynomial = 0x1100b;

uint16_t table_product(const region_tables &t, uint16_t w) noexcept
{
	unsigned const n0 = w & 0xf;
	unsigned const n1 = (w >> 4) & 0xf;
	unsigned const n2 = (w >> 8) & 0xf;
	unsigned const n3 = w >> 12;
	unsigned const lo = t.lo[0][n0] ^ t.lo[1][n1] ^ t.lo[2][n2] ^ t.lo[3][n3];
	unsigned const hi = t.hi[0][n0] ^ t.hi[1][n1] ^ t.hi[2][n2] ^ t.hi[3][n3];
	return static_cast<uint16_t>(lo | hi << 8);
}

void multiply_words(const region_tables &t, const std::byte *src, std::byte *dst, std::size_t len,
		    bool accumulate) noexcept
{
	for (std::size_t at = 0; at + 2 <= len; at += 2) {
		uint16_t w;
		std::memcpy(&w, src + at, 2);
		uint16_t product = table_product(t, w);
		if (accumulate) {
			uint16_t d;
			std::memcpy(&d, dst + at, 2);
			product ^= d;
		}
		std::memcpy(dst + at, &product, 2);
	}
}

__attribute__((target("avx2"))) inline __m256i broadcast_table(const uint8_t *bytes) noexcept
{
	return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes)));
}

__attribute__((target("avx2"))) void multiply_avx2(const region_tables &t, const std::byte *src, std::byte *dst,
						   std::size_t len, bool accumulate) noexcept
{
	__m256i const lo0 = broadcast_table(t.lo[0]), lo1 = broadcast_table(t.lo[1]), lo2 = broadcast_table(t.lo[2]), lo3 = broadcast_table(t.lo[3]);
	__m256i const hi0 = broadcast_table(t.hi[0]), hi1 = broadcast_table(t.hi[1]), hi2 = broadcast_table(t.hi[2]), hi3 = broadcast_table(t.hi[3]);
	__m256i const low_byte = _mm256_set1_epi16(0x00ff);
	__m256i const nibble = _mm256_set1_epi16(0x000f);
	std::size_t at = 0;
	for (; at + 32 <= len; at += 32) {
		__m256i const x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + at));
		// Each index keeps its nibble in the low byte of its word and 0 (a zero product) in the high.
		__m256i const low = _mm256_and_si256(x, low_byte);
		__m256i const high = _mm256_srli_epi16(x, 8);
		__m256i const n0 = _mm256_and_si256(low, nibble);
		__m256i const n1 = _mm256_srli_epi16(low, 4);
		__m256i const n2 = _mm256_and_si256(high, nibble);
		__m256i const n3 = _mm256_srli_epi16(high, 4);
		__m256i const rlo = _mm256_xor_si256(
			_mm256_xor_si256(_mm256_shuffle_epi8(lo0, n0), _mm256_shuffle_epi8(lo1, n1)),
			_mm256_xor_si256(_mm256_shuffle_epi8(lo2, n2), _mm256_shuffle_epi8(lo3, n3)));
		__m256i const rhi = _mm256_xor_si256(
			_mm256_xor_si256(_mm256_shuffle_epi8(hi0, n0), _mm256_shuffle_epi8(hi1, n1)),
			_mm256_xor_si256(_mm256_shuffle_epi8(hi2, n2), _mm256_shuffle_epi8(hi3, n3)));
		__m256i product = _mm256_or_si256(rlo, _mm256_slli_epi16(rhi, 8));
		auto *to = reinterpret_cast<__m256i *>(dst + at);
		if (accumulate)
			product = _mm256_xor_si256(product, _mm256_loadu_si256(to));
		_mm256_storeu_si256(to, product);
	}
	multiply_words(t, src + at, dst + at, len - at, accumulate);
}

bool has_avx2() noexcept
{
	static bool const available = __builtin_cpu_supports("avx2");
	return available;
}

} // namespace

uint16_t mul(uint16_t a, uint16_t b) noexcept
{
	uint32_t product = 0;
	uint32_t x = a;
	for (uint32_t y = b; y != 0; y >>= 1) {
		if ((y & 1) != 0)
			product ^= x;
		x <<= 1;
		if ((x & 0x10000) != 0)
			x ^= polynomial;
	}
	return static_cast<uint16_t>(product);
}

uint16_t power(uint16_t a, uint32_t n) noexcept
{
	uint16_t result = 1;
	for (; n != 0; n >>= 1) {
		if ((n & 1) != 0)
			result = mul(result, a);
		a = mul(a, a);
	}
	return result;
}

uint16_t inv(uint16_t a) noexcept
{
	return power(a, 65534);
}

void make_tables(uint16_t c, region_tables *tables) noexcept
{
	for (unsigned p = 0; p < 4; ++p) {
		for (unsigned v = 0; v < 16; ++v) {
			uint16_t const product = mul(c, static_cast<uint16_t>(v << (4 * p)));
			tables->lo[p][v] = static_cast<uint8_t>(product & 0xff);
			tables->hi[p][v] = static_cast<uint8_t>(product >> 8);
		}
	}
}

void multiply_region(const region_tables &tables, const std::byte *src, std::byte *dst, std::size_t len,
		     bool accumulate) noexcept
{
	if (has_avx2())
		multiply_avx2(tables, src, dst, len, accumulate);
	else
		multiply_words(tables, src, dst, len, accumulate);
}

} // namespace kova::sdk::ec::gf16
