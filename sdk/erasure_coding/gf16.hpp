// Arithmetic in GF(2^16) (polynomial x^16 + x^12 + x^3 + x + 1), for codes with more than 256
// blocks: element operations for building matrices, and multiply-accumulate over byte regions of
// little-endian 16-bit words.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kova::sdk::ec::gf16 {

uint16_t mul(uint16_t a, uint16_t b) noexcept;

// The inverse of a non-zero element.
uint16_t inv(uint16_t a) noexcept;

uint16_t power(uint16_t a, uint32_t n) noexcept;

// Multiplication by one constant, as nibble tables: the low and high byte of c * (v << 4p) for
// each nibble position p and value v.
struct region_tables {
	uint8_t lo[4][16];
	uint8_t hi[4][16];
};

void make_tables(uint16_t c, region_tables *tables) noexcept;

// dst = c * src, or dst ^= c * src when accumulating, over len bytes (even).
void multiply_region(const region_tables &tables, const std::byte *src, std::byte *dst, std::size_t len,
		     bool accumulate) noexcept;

} // namespace kova::sdk::ec::gf16
