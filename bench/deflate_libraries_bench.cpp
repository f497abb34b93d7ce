// Raw deflate through ISA-L's igzip and through libdeflate, per direction, on random and on text-like
// data: the measurement behind the compression library's choice of engine.
#include <benchmark/benchmark.h>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t job_size = 1 << 20;

std::vector<uint8_t> random_data()
{
	std::vector<uint8_t> data(job_size);
	std::mt19937_64 generator{1};
	for (auto &byte : data)
		byte = static_cast<uint8_t>(generator());
	return data;
}

// Words drawn with a skewed distribution, spaces and line breaks: compresses about as well as prose.
std::vector<uint8_t> text_data()
{
	static const char *const words[] = {"the", "of", "and", "a", "to", "in", "is", "you", "that", "it",
					    "he", "was", "for", "on", "are", "as", "with", "his", "they", "at",
					    "benchmark", "offload", "pipeline", "throughput", "latency", "device",
					    "compression", "buffer", "memory", "worker", "thread", "statistics"};
	std::mt19937_64 generator{2};
	std::geometric_distribution<int> pick{0.15};
	std::vector<uint8_t> data;
	data.reserve(job_size + 32);
	std::size_t line = 0;
	while (data.size() < job_size) {
		int const index = pick(generator) % static_cast<int>(std::size(words));
		for (const char *c = words[index]; *c != '\0'; ++c)
			data.push_back(static_cast<uint8_t>(*c));
		line += std::strlen(words[index]) + 1;
		data.push_back(line > 72 ? '\n' : ' ');
		if (line > 72)
			line = 0;
	}
	data.resize(job_size);
	return data;
}

const std::vector<uint8_t> &input(int kind)
{
	static const std::vector<uint8_t> random = random_data();
	static const std::vector<uint8_t> text = text_data();
	return kind == 0 ? random : text;
}

const char *label(int kind)
{
	return kind == 0 ? "random" : "text";
}

std::size_t bound()
{
	return job_size + job_size / 8 + 4096;
}

struct igzip_compressor {
	explicit igzip_compressor(int level)
	    : level_buf(level == 0 ? 0 : level == 1 ? ISAL_DEF_LVL1_DEFAULT : level == 2 ? ISAL_DEF_LVL2_DEFAULT
										   : ISAL_DEF_LVL3_DEFAULT),
	      level{level}
	{
	}
	std::size_t compress(const std::vector<uint8_t> &in, std::vector<uint8_t> &out)
	{
		isal_zstream stream;
		isal_deflate_stateless_init(&stream);
		stream.level = static_cast<uint32_t>(level);
		stream.level_buf = level_buf.empty() ? nullptr : level_buf.data();
		stream.level_buf_size = static_cast<uint32_t>(level_buf.size());
		stream.next_in = const_cast<uint8_t *>(in.data());
		stream.avail_in = static_cast<uint32_t>(in.size());
		stream.next_out = out.data();
		stream.avail_out = static_cast<uint32_t>(out.size());
		stream.end_of_stream = 1;
		stream.flush = NO_FLUSH;
		return isal_deflate_stateless(&stream) == COMP_OK ? stream.total_out : 0;
	}
	std::vector<uint8_t> level_buf;
	int level;
};

void set_result(benchmark::State &state, int kind, std::size_t compressed)
{
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(job_size));
	state.counters["ratio"] = static_cast<double>(compressed) / static_cast<double>(job_size);
	state.SetLabel(label(kind));
}

void igzip_compress(benchmark::State &state)
{
	int const kind = static_cast<int>(state.range(0));
	igzip_compressor compressor{static_cast<int>(state.range(1))};
	std::vector<uint8_t> out(bound());
	std::size_t compressed = 0;
	for (auto _ : state)
		benchmark::DoNotOptimize(compressed = compressor.compress(input(kind), out));
	set_result(state, kind, compressed);
}

void libdeflate_compress(benchmark::State &state)
{
	int const kind = static_cast<int>(state.range(0));
	libdeflate_compressor *compressor = libdeflate_alloc_compressor(static_cast<int>(state.range(1)));
	std::vector<uint8_t> out(bound());
	std::size_t compressed = 0;
	const auto &in = input(kind);
	for (auto _ : state)
		benchmark::DoNotOptimize(compressed = libdeflate_deflate_compress(compressor, in.data(), in.size(),
										   out.data(), out.size()));
	libdeflate_free_compressor(compressor);
	set_result(state, kind, compressed);
}

// Compressed with igzip level 1, as the library writes it.
std::vector<uint8_t> compressed_input(int kind)
{
	igzip_compressor compressor{1};
	std::vector<uint8_t> out(bound());
	out.resize(compressor.compress(input(kind), out));
	return out;
}

void igzip_decompress(benchmark::State &state)
{
	int const kind = static_cast<int>(state.range(0));
	std::vector<uint8_t> const in = compressed_input(kind);
	std::vector<uint8_t> out(job_size);
	inflate_state inflate;
	for (auto _ : state) {
		isal_inflate_init(&inflate);
		inflate.crc_flag = ISAL_DEFLATE;
		inflate.next_in = const_cast<uint8_t *>(in.data());
		inflate.avail_in = static_cast<uint32_t>(in.size());
		inflate.next_out = out.data();
		inflate.avail_out = static_cast<uint32_t>(out.size());
		benchmark::DoNotOptimize(isal_inflate_stateless(&inflate));
	}
	set_result(state, kind, in.size());
}

void libdeflate_decompress(benchmark::State &state)
{
	int const kind = static_cast<int>(state.range(0));
	std::vector<uint8_t> const in = compressed_input(kind);
	std::vector<uint8_t> out(job_size);
	libdeflate_decompressor *decompressor = libdeflate_alloc_decompressor();
	for (auto _ : state) {
		std::size_t written = 0;
		benchmark::DoNotOptimize(libdeflate_deflate_decompress(decompressor, in.data(), in.size(), out.data(),
								      out.size(), &written));
	}
	libdeflate_free_decompressor(decompressor);
	set_result(state, kind, in.size());
}

// The checksums that every deflate task reports, by either library.
void isal_checksums(benchmark::State &state)
{
	const auto &in = input(1);
	for (auto _ : state) {
		benchmark::DoNotOptimize(crc32_gzip_refl(0, in.data(), in.size()));
		benchmark::DoNotOptimize(isal_adler32(1, in.data(), in.size()));
	}
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(job_size));
}

void libdeflate_checksums(benchmark::State &state)
{
	const auto &in = input(1);
	for (auto _ : state) {
		benchmark::DoNotOptimize(libdeflate_crc32(0, in.data(), in.size()));
		benchmark::DoNotOptimize(libdeflate_adler32(1, in.data(), in.size()));
	}
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(job_size));
}

} // namespace

BENCHMARK(igzip_compress)->ArgsProduct({{0, 1}, {0, 1, 2, 3}});
BENCHMARK(libdeflate_compress)->ArgsProduct({{0, 1}, {1, 6}});
BENCHMARK(igzip_decompress)->DenseRange(0, 1);
BENCHMARK(libdeflate_decompress)->DenseRange(0, 1);
BENCHMARK(isal_checksums);
BENCHMARK(libdeflate_checksums);
