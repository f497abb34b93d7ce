// Coding matrices: the coefficients of a Cauchy or Vandermonde code, the decoding matrix that
// restores the first data blocks, and the multiplication tables the tasks run on.
#include "ec_internal.hpp"

#include <isa-l/erasure_code.h>

#include <cstring>
#include <new>
#include <utility>

namespace kova::sdk::ec {
namespace {

constexpr uint64_t narrow_block_limit = 256;   // k + m in GF(2^8)
constexpr uint64_t wide_block_limit = 65536;   // k + m in GF(2^16)
constexpr uint64_t coefficient_limit = 65536;  // k * m: bounds the tables' memory

template <typename T>
std::unique_ptr<T[]> make_array(std::size_t n) noexcept
{
	return std::unique_ptr<T[]>(new (std::nothrow) T[n]);
}

struct field8 {
	using word = uint8_t;
	static word mul(word a, word b) noexcept { return gf_mul(a, b); }
	static word inv(word a) noexcept { return gf_inv(a); }
};

struct field16 {
	using word = uint16_t;
	static word mul(word a, word b) noexcept { return gf16::mul(a, b); }
	static word inv(word a) noexcept { return gf16::inv(a); }
};

// Gauss-Jordan inversion of the n x n matrix a (destroyed) into out; false when singular.
template <typename Field>
bool invert(typename Field::word *a, typename Field::word *out, uint32_t n) noexcept
{
	using word = typename Field::word;
	for (uint32_t i = 0; i < n * n; ++i)
		out[i] = 0;
	for (uint32_t i = 0; i < n; ++i)
		out[i * n + i] = 1;
	for (uint32_t col = 0; col < n; ++col) {
		uint32_t pivot = col;
		while (pivot < n && a[pivot * n + col] == 0)
			++pivot;
		if (pivot == n)
			return false;
		if (pivot != col) {
			for (uint32_t c = 0; c < n; ++c) {
				std::swap(a[pivot * n + c], a[col * n + c]);
				std::swap(out[pivot * n + c], out[col * n + c]);
			}
		}
		word const scale = Field::inv(a[col * n + col]);
		for (uint32_t c = 0; c < n; ++c) {
			a[col * n + c] = Field::mul(a[col * n + c], scale);
			out[col * n + c] = Field::mul(out[col * n + c], scale);
		}
		for (uint32_t r = 0; r < n; ++r) {
			word const factor = a[r * n + col];
			if (r == col || factor == 0)
				continue;
			for (uint32_t c = 0; c < n; ++c) {
				a[r * n + c] ^= Field::mul(factor, a[col * n + c]);
				out[r * n + c] ^= Field::mul(factor, out[col * n + c]);
			}
		}
	}
	return true;
}

// The e x k decoding matrix over the sources (data blocks e..k-1, redundancy blocks 0..e-1) from
// the m x k coding rows c: with A the first e columns of the first e rows, the lost blocks are
// A^-1 (r + C_rest d_rest). False when A is singular.
template <typename Field>
bool decoding_matrix(const typename Field::word *c, uint32_t k, uint32_t e, typename Field::word *d) noexcept
{
	using word = typename Field::word;
	auto a = make_array<word>(std::size_t{e} * e);
	auto a_inv = make_array<word>(std::size_t{e} * e);
	if (!a || !a_inv)
		return false;
	for (uint32_t r = 0; r < e; ++r)
		for (uint32_t s = 0; s < e; ++s)
			a[r * e + s] = c[std::size_t{r} * k + s];
	if (!invert<Field>(a.get(), a_inv.get(), e))
		return false;
	for (uint32_t r = 0; r < e; ++r) {
		word *row = d + std::size_t{r} * k;
		for (uint32_t col = 0; col < k - e; ++col) {
			word sum = 0;
			for (uint32_t s = 0; s < e; ++s)
				sum ^= Field::mul(a_inv[r * e + s], c[std::size_t{s} * k + e + col]);
			row[col] = sum;
		}
		for (uint32_t s = 0; s < e; ++s)
			row[k - e + s] = a_inv[r * e + s];
	}
	return true;
}

kova_error build_narrow(kova_ec_matrix *mx) noexcept
{
	uint32_t const k = mx->k;
	uint32_t const m = mx->m;
	uint32_t const e = mx->e;
	auto a = make_array<uint8_t>(std::size_t{k + m} * k);
	auto update = make_array<uint8_t>(std::size_t{2} * m);
	auto decode = make_array<uint8_t>(std::size_t{e} * k);
	mx->create_tables = make_array<uint8_t>(std::size_t{32} * k * m);
	mx->update_tables = make_array<uint8_t>(std::size_t{32} * 2 * m);
	mx->recover_tables = make_array<uint8_t>(std::size_t{32} * k * e);
	if (!a || !update || !decode || !mx->create_tables || !mx->update_tables || !mx->recover_tables)
		return KOVA_ERROR_NO_MEMORY;
	int const rows = static_cast<int>(k + m);
	if (mx->type == KOVA_EC_MATRIX_TYPE_CAUCHY)
		gf_gen_cauchy1_matrix(a.get(), rows, static_cast<int>(k));
	else
		gf_gen_rs_matrix(a.get(), rows, static_cast<int>(k));
	const uint8_t *coding = a.get() + std::size_t{k} * k;
	ec_init_tables(static_cast<int>(k), static_cast<int>(m), const_cast<uint8_t *>(coding), mx->create_tables.get());
	for (uint32_t j = 0; j < m; ++j)
		update[2 * j] = update[2 * j + 1] = coding[std::size_t{j} * k];
	ec_init_tables(2, static_cast<int>(m), update.get(), mx->update_tables.get());
	mx->recoverable = decoding_matrix<field8>(coding, k, e, decode.get());
	if (mx->recoverable)
		ec_init_tables(static_cast<int>(k), static_cast<int>(e), decode.get(), mx->recover_tables.get());
	return KOVA_SUCCESS;
}

kova_error build_wide(kova_ec_matrix *mx) noexcept
{
	uint32_t const k = mx->k;
	uint32_t const m = mx->m;
	uint32_t const e = mx->e;
	auto coding = make_array<uint16_t>(std::size_t{m} * k);
	auto decode = make_array<uint16_t>(std::size_t{e} * k);
	mx->create_wide = make_array<gf16::region_tables>(std::size_t{m} * k);
	mx->update_wide = make_array<gf16::region_tables>(m);
	mx->recover_wide = make_array<gf16::region_tables>(std::size_t{e} * k);
	if (!coding || !decode || !mx->create_wide || !mx->update_wide || !mx->recover_wide)
		return KOVA_ERROR_NO_MEMORY;
	for (uint32_t i = 0; i < k; ++i) {
		// Cauchy: 1 / ((k + j) + i); Vandermonde: (2^i)^j.
		uint16_t const x = gf16::power(2, i);
		uint16_t v = 1;
		for (uint32_t j = 0; j < m; ++j) {
			coding[std::size_t{j} * k + i] = mx->type == KOVA_EC_MATRIX_TYPE_CAUCHY
								 ? gf16::inv(static_cast<uint16_t>((k + j) ^ i))
								 : v;
			v = gf16::mul(v, x);
		}
	}
	for (std::size_t n = 0; n < std::size_t{m} * k; ++n)
		gf16::make_tables(coding[n], &mx->create_wide[n]);
	for (uint32_t j = 0; j < m; ++j)
		gf16::make_tables(coding[std::size_t{j} * k], &mx->update_wide[j]);
	mx->recoverable = decoding_matrix<field16>(coding.get(), k, e, decode.get());
	if (mx->recoverable) {
		for (std::size_t n = 0; n < std::size_t{e} * k; ++n)
			gf16::make_tables(decode[n], &mx->recover_wide[n]);
	}
	return KOVA_SUCCESS;
}

} // namespace

kova_error build_matrix(kova_ec_matrix *mx) noexcept
{
	uint64_t const k = mx->k;
	uint64_t const m = mx->m;
	if ((mx->type != KOVA_EC_MATRIX_TYPE_CAUCHY && mx->type != KOVA_EC_MATRIX_TYPE_VANDERMONDE) || k == 0 ||
	    m == 0 || k + m > wide_block_limit || k * m > coefficient_limit)
		return KOVA_ERROR_INVALID_VALUE;
	mx->e = mx->m < mx->k ? mx->m : mx->k;
	mx->wide = k + m > narrow_block_limit;
	kova_error const built = mx->wide ? build_wide(mx) : build_narrow(mx);
	if (built != KOVA_SUCCESS)
		return built;

	// The largest block comes with the fewest source blocks (update reads m + 2).
	uint64_t const fewest = k < m + 2 ? k : m + 2;
	uint64_t const granule = mx->wide ? 2 : 1;
	uint64_t const block = ((buf_size_limit + fewest - 1) / fewest + granule - 1) / granule * granule;
	mx->padded_capacity = static_cast<std::size_t>(block);
	mx->sources = make_array<const std::byte *>(static_cast<std::size_t>(k > m + 2 ? k : m + 2));
	mx->outputs = make_array<std::byte *>(static_cast<std::size_t>(m));
	if (!mx->sources || !mx->outputs || !mx->padding.allocate(2 * mx->padded_capacity))
		return KOVA_ERROR_NO_MEMORY;
	std::memset(mx->padding.data(), 0, mx->padding.capacity());
	return KOVA_SUCCESS;
}

} // namespace kova::sdk::ec
