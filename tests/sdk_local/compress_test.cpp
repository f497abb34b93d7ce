// Tests of the compression library (libkova_compress.so.2) through its public API: raw deflate both
// ways against zlib, LZ4 streams made by liblz4, buffer lists, and the error statuses.
#include "local_fixture.hpp"

#include <kova/compress.h>

#include <lz4.h>
#include <zlib.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace kova::sdk_local_test {
namespace {

constexpr std::size_t max_buf_size = 2u << 20;

bytes zlib_raw_inflate(const bytes &in, std::size_t expected)
{
	bytes out(expected + 16);
	z_stream stream{};
	EXPECT_EQ(inflateInit2(&stream, -15), Z_OK);
	stream.next_in = const_cast<Bytef *>(in.data());
	stream.avail_in = static_cast<uInt>(in.size());
	stream.next_out = out.data();
	stream.avail_out = static_cast<uInt>(out.size());
	EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
	out.resize(stream.total_out);
	inflateEnd(&stream);
	return out;
}

bytes zlib_raw_deflate(const bytes &in)
{
	bytes out(compressBound(static_cast<uLong>(in.size())) + 64);
	z_stream stream{};
	EXPECT_EQ(deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
	stream.next_in = const_cast<Bytef *>(in.data());
	stream.avail_in = static_cast<uInt>(in.size());
	stream.next_out = out.data();
	stream.avail_out = static_cast<uInt>(out.size());
	EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
	out.resize(stream.total_out);
	deflateEnd(&stream);
	return out;
}

uint32_t crc_of(const bytes &data)
{
	return static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
}

uint32_t adler_of(const bytes &data)
{
	return static_cast<uint32_t>(adler32(1, data.data(), static_cast<uInt>(data.size())));
}

void put_le32(bytes &out, uint32_t value)
{
	for (int i = 0; i < 4; ++i)
		out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

struct lz4_options {
	std::size_t block_size = 64 * 1024;
	bool checksums = false;
	bool independent = true;
	bool stored_tail = false; // the last block is stored, not compressed
	bool end_mark = false;
};

// An LZ4 stream (the data blocks of an LZ4 frame) made by liblz4.
bytes lz4_stream(const bytes &data, const lz4_options &options)
{
	bytes out;
	LZ4_stream_t *stream = LZ4_createStream();
	std::vector<char> block(static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(options.block_size))));
	for (std::size_t offset = 0; offset < data.size(); offset += options.block_size) {
		std::size_t const len = std::min(options.block_size, data.size() - offset);
		const char *src = reinterpret_cast<const char *>(data.data() + offset);
		bool const last = offset + len == data.size();
		bytes payload;
		uint32_t word = 0;
		if (options.stored_tail && last) {
			payload.assign(data.begin() + static_cast<long>(offset), data.end());
			word = static_cast<uint32_t>(len) | 0x80000000u;
		} else {
			int const size =
				options.independent
					? LZ4_compress_default(src, block.data(), static_cast<int>(len),
							       static_cast<int>(block.size()))
					: LZ4_compress_fast_continue(stream, src, block.data(), static_cast<int>(len),
								     static_cast<int>(block.size()), 1);
			EXPECT_GT(size, 0);
			payload.assign(block.begin(), block.begin() + size);
			word = static_cast<uint32_t>(size);
		}
		put_le32(out, word);
		out.insert(out.end(), payload.begin(), payload.end());
		if (options.checksums)
			put_le32(out, XXH32(payload.data(), payload.size(), 0));
	}
	if (options.end_mark)
		put_le32(out, 0);
	LZ4_freeStream(stream);
	return out;
}

class compress_library : public local_fixture {
protected:
	void SetUp() override
	{
		local_fixture::SetUp();
		ASSERT_EQ(kova_compress_create(dev, &lib), KOVA_SUCCESS);
		ctx = kova_compress_as_ctx(lib);
	}

	void TearDown() override
	{
		if (lib != nullptr) {
			for (kova_task *task : tasks)
				EXPECT_EQ(kova_task_free(task), KOVA_SUCCESS);
			stop(ctx);
			EXPECT_EQ(kova_compress_destroy(lib), KOVA_SUCCESS);
		}
		local_fixture::TearDown();
	}

	void start(uint32_t num_tasks = 8)
	{
		ASSERT_EQ(kova_compress_task_compress_deflate_set_conf(lib, on_success, on_error, num_tasks), KOVA_SUCCESS);
		ASSERT_EQ(kova_compress_task_decompress_deflate_set_conf(lib, on_success, on_error, num_tasks),
			  KOVA_SUCCESS);
		ASSERT_EQ(kova_compress_task_decompress_lz4_stream_set_conf(lib, on_success, on_error, num_tasks),
			  KOVA_SUCCESS);
		connect_and_start(ctx);
	}

	kova_compress_task_compress_deflate *compress_task(const kova_buf *src, kova_buf *dst)
	{
		kova_compress_task_compress_deflate *task = nullptr;
		EXPECT_EQ(kova_compress_task_compress_deflate_alloc_init(lib, src, dst, kova_data{.u64 = 1}, &task),
			  KOVA_SUCCESS);
		tasks.push_back(kova_compress_task_compress_deflate_as_task(task));
		return task;
	}

	kova_compress_task_decompress_deflate *decompress_task(const kova_buf *src, kova_buf *dst)
	{
		kova_compress_task_decompress_deflate *task = nullptr;
		EXPECT_EQ(kova_compress_task_decompress_deflate_alloc_init(lib, src, dst, kova_data{.u64 = 2}, &task),
			  KOVA_SUCCESS);
		tasks.push_back(kova_compress_task_decompress_deflate_as_task(task));
		return task;
	}

	kova_compress_task_decompress_lz4_stream *lz4_task(const kova_buf *src, kova_buf *dst, bool checksums,
							   bool independent)
	{
		kova_compress_task_decompress_lz4_stream *task = nullptr;
		EXPECT_EQ(kova_compress_task_decompress_lz4_stream_alloc_init(lib, checksums, independent, src, dst,
									      kova_data{.u64 = 3}, &task),
			  KOVA_SUCCESS);
		tasks.push_back(kova_compress_task_decompress_lz4_stream_as_task(task));
		return task;
	}

	// Compresses data through the library; empty on failure.
	bytes compress(const bytes &data)
	{
		kova_buf *dst = output(data.size() + data.size() / 8 + 1024);
		auto *task = compress_task(input(data), dst);
		if (run(kova_compress_task_compress_deflate_as_task(task)) != KOVA_SUCCESS)
			return {};
		EXPECT_EQ(kova_compress_task_compress_deflate_get_crc_cs(task), crc_of(data));
		EXPECT_EQ(kova_compress_task_compress_deflate_get_adler_cs(task), adler_of(data));
		return contents(dst);
	}

	kova_compress *lib = nullptr;
	kova_ctx *ctx = nullptr;
	std::vector<kova_task *> tasks;
};

TEST_F(compress_library, deflate_round_trips_random_and_text_data_and_reports_checksums_of_the_plain_data)
{
	start();
	struct data_case {
		const char *name;
		bytes data;
	};
	const data_case cases[] = {
		{"one byte", {0x42}},
		{"random 100000", random_bytes(100000)},
		{"text 1 MiB", text_bytes(1u << 20)},
		{"random at the maximum size", random_bytes(max_buf_size, 3)},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		bytes const compressed = compress(c.data);
		ASSERT_FALSE(compressed.empty());
		EXPECT_EQ(zlib_raw_inflate(compressed, c.data.size()), c.data) << "a raw deflate stream";

		kova_buf *dst = output(c.data.size());
		auto *task = decompress_task(input(compressed), dst);
		ASSERT_EQ(run(kova_compress_task_decompress_deflate_as_task(task)), KOVA_SUCCESS);
		EXPECT_EQ(contents(dst), c.data);
		EXPECT_EQ(kova_compress_task_decompress_deflate_get_crc_cs(task), crc_of(c.data));
		EXPECT_EQ(kova_compress_task_decompress_deflate_get_adler_cs(task), adler_of(c.data));
	}
	bytes const text = text_bytes(200000);
	EXPECT_LT(compress(text).size(), text.size() / 2) << "text compresses";
}

TEST_F(compress_library, decompresses_what_zlib_wrote)
{
	start();
	bytes const data = text_bytes(300000);
	kova_buf *dst = output(data.size());
	ASSERT_EQ(run(kova_compress_task_decompress_deflate_as_task(decompress_task(input(zlib_raw_deflate(data)), dst))),
		  KOVA_SUCCESS);
	EXPECT_EQ(contents(dst), data);
}

TEST_F(compress_library, reads_and_writes_lists_of_several_buffers)
{
	start();
	bytes const data = text_bytes(150000);
	kova_buf *compressed = output_list({0, 1000, 7, 200000});
	ASSERT_EQ(run(kova_compress_task_compress_deflate_as_task(
			  compress_task(input_list(data, {1, 65536, 3, 40000}), compressed))),
		  KOVA_SUCCESS);
	bytes const stream = contents(compressed);
	EXPECT_EQ(zlib_raw_inflate(stream, data.size()), data);

	kova_buf *plain = output_list({10, 100000, 50000});
	ASSERT_EQ(run(kova_compress_task_decompress_deflate_as_task(
			  decompress_task(input_list(stream, {5, 100, 2000}), plain))),
		  KOVA_SUCCESS);
	EXPECT_EQ(contents(plain), data);
}

TEST_F(compress_library, output_that_does_not_fit_fails_with_7_and_leaves_the_destination_untouched)
{
	start();
	bytes const data = random_bytes(50000);
	bytes const stream = compress(data);
	ASSERT_FALSE(stream.empty());
	struct room_case {
		const char *name;
		std::vector<std::size_t> rooms;
		bool compressing;
	};
	const room_case cases[] = {
		{"compress into one buffer", {data.size() - 1}, true},
		{"compress into a list", {20000, 20000}, true},
		{"decompress into one buffer", {data.size() - 1}, false},
		{"decompress into a list", {100, data.size() - 101}, false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		kova_buf *dst = c.rooms.size() == 1 ? output(c.rooms[0]) : output_list(c.rooms);
		kova_task *task = c.compressing
					  ? kova_compress_task_compress_deflate_as_task(compress_task(input(data), dst))
					  : kova_compress_task_decompress_deflate_as_task(decompress_task(input(stream), dst));
		EXPECT_EQ(run(task), KOVA_ERROR_NO_MEMORY);
		EXPECT_TRUE(contents(dst).empty());
	}
}

TEST_F(compress_library, a_stream_fits_a_destination_of_exactly_its_length)
{
	start(32);
	for (bytes const &data : {text_bytes(65536), random_bytes(65536), text_bytes(1000)}) {
		bytes const stream = compress(data);
		ASSERT_FALSE(stream.empty());
		kova_buf *dst = output(stream.size());
		ASSERT_EQ(run(kova_compress_task_compress_deflate_as_task(compress_task(input(data), dst))), KOVA_SUCCESS);
		EXPECT_EQ(contents(dst), stream);

		kova_buf *short_dst = output(stream.size() - 1);
		EXPECT_EQ(run(kova_compress_task_compress_deflate_as_task(compress_task(input(data), short_dst))),
			  KOVA_ERROR_NO_MEMORY);
		EXPECT_TRUE(contents(short_dst).empty());
	}
}

TEST_F(compress_library, malformed_deflate_data_fails_with_6)
{
	start();
	bytes stream = compress(text_bytes(10000));
	ASSERT_GT(stream.size(), 100u);
	const bytes cases[] = {
		{},                                                 // no stream at all
		bytes(stream.begin(), stream.begin() + 50),         // cut short
		{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff},   // reserved block type
	};
	for (const bytes &bad : cases) {
		SCOPED_TRACE(bad.size());
		kova_buf *dst = output(20000);
		EXPECT_EQ(run(kova_compress_task_decompress_deflate_as_task(decompress_task(input(bad), dst))),
			  KOVA_ERROR_INVALID_VALUE);
		EXPECT_TRUE(contents(dst).empty());
	}
}

TEST_F(compress_library, lz4_streams_made_by_liblz4_decompress_under_each_pair_of_flags)
{
	start();
	bytes const data = text_bytes(300000);
	for (bool checksums : {false, true}) {
		for (bool independent : {false, true}) {
			for (bool stored_tail : {false, true}) {
				SCOPED_TRACE(testing::Message() << "checksums " << checksums << ", independent "
								<< independent << ", stored tail " << stored_tail);
				lz4_options options;
				options.checksums = checksums;
				options.independent = independent;
				options.stored_tail = stored_tail;
				options.end_mark = stored_tail;
				kova_buf *dst = output(data.size());
				auto *task = lz4_task(input(lz4_stream(data, options)), dst, checksums, independent);
				ASSERT_EQ(run(kova_compress_task_decompress_lz4_stream_as_task(task)), KOVA_SUCCESS);
				EXPECT_EQ(contents(dst), data);
				EXPECT_EQ(kova_compress_task_decompress_lz4_stream_get_crc_cs(task), crc_of(data));
				EXPECT_EQ(kova_compress_task_decompress_lz4_stream_get_xxh_cs(task),
					  XXH32(data.data(), data.size(), 0));
			}
		}
	}
}

TEST_F(compress_library, lz4_streams_through_lists_of_several_buffers)
{
	start();
	bytes const data = text_bytes(200000);
	lz4_options options;
	options.independent = false;
	options.checksums = true;
	bytes const stream = lz4_stream(data, options);
	kova_buf *dst = output_list({1000, 99000, 100000});
	ASSERT_EQ(run(kova_compress_task_decompress_lz4_stream_as_task(
			  lz4_task(input_list(stream, {3, 5000, 17}), dst, true, false))),
		  KOVA_SUCCESS);
	EXPECT_EQ(contents(dst), data);
}

TEST_F(compress_library, lz4_streams_that_do_not_match_their_flags_or_are_damaged_fail)
{
	start();
	bytes const data = text_bytes(300000);
	lz4_options dependent;
	dependent.independent = false;
	lz4_options checked;
	checked.checksums = true;
	bytes bad_checksum = lz4_stream(data, checked);
	bad_checksum[4 + 10] ^= 1; // a byte of the first block's data
	bytes const whole = lz4_stream(data, {});
	struct stream_case {
		const char *name;
		bytes stream;
		bool checksums;
		bool independent;
		std::size_t room;
		kova_error status;
	};
	const stream_case cases[] = {
		{"dependent blocks read as independent", lz4_stream(data, dependent), false, true, data.size(),
		 KOVA_ERROR_INVALID_VALUE},
		{"a block that does not match its checksum", bad_checksum, true, true, data.size(),
		 KOVA_ERROR_INVALID_VALUE},
		{"checksums expected but absent", whole, true, true, data.size(), KOVA_ERROR_INVALID_VALUE},
		{"cut inside a block", bytes(whole.begin(), whole.begin() + 1000), false, true, data.size(),
		 KOVA_ERROR_INVALID_VALUE},
		{"cut inside a block size", bytes(whole.begin(), whole.begin() + 2), false, true, data.size(),
		 KOVA_ERROR_INVALID_VALUE},
		{"too little room", whole, false, true, data.size() - 1, KOVA_ERROR_NO_MEMORY},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		kova_buf *dst = output(c.room);
		EXPECT_EQ(run(kova_compress_task_decompress_lz4_stream_as_task(
				  lz4_task(input(c.stream), dst, c.checksums, c.independent))),
			  c.status);
		EXPECT_TRUE(contents(dst).empty());
	}
}

TEST_F(compress_library, capabilities_answer_for_deflate_and_lz4_streams_but_not_lz4_blocks)
{
	for (auto query : {kova_compress_cap_task_compress_deflate_is_supported,
			   kova_compress_cap_task_decompress_deflate_is_supported,
			   kova_compress_cap_task_decompress_lz4_stream_is_supported}) {
		EXPECT_EQ(query(devinfo), KOVA_SUCCESS);
		EXPECT_EQ(query(nullptr), KOVA_ERROR_INVALID_VALUE);
	}
	for (auto query : {kova_compress_cap_task_compress_deflate_get_max_buf_size,
			   kova_compress_cap_task_decompress_deflate_get_max_buf_size,
			   kova_compress_cap_task_decompress_lz4_stream_get_max_buf_size}) {
		uint64_t max = 0;
		EXPECT_EQ(query(devinfo, &max), KOVA_SUCCESS);
		EXPECT_EQ(max, max_buf_size);
	}
	EXPECT_EQ(kova_compress_cap_task_decompress_lz4_block_is_supported(devinfo), KOVA_ERROR_NOT_SUPPORTED);
	EXPECT_EQ(kova_compress_task_decompress_lz4_block_set_conf(lib, on_success, on_error, 4), KOVA_ERROR_NOT_SUPPORTED);
	uint32_t max_tasks = 0;
	EXPECT_EQ(kova_compress_cap_get_max_num_tasks(lib, &max_tasks), KOVA_SUCCESS);
	EXPECT_EQ(kova_compress_task_compress_deflate_set_conf(lib, on_success, on_error, max_tasks + 1),
		  KOVA_ERROR_INVALID_VALUE);
}

TEST_F(compress_library, refuses_invalid_arguments_and_calls_in_the_wrong_state)
{
	kova_compress_task_compress_deflate *task = nullptr;
	kova_buf *src = input(text_bytes(100));
	kova_buf *dst = output(1000);
	EXPECT_EQ(kova_compress_task_compress_deflate_alloc_init(lib, src, dst, kova_data{.u64 = 1}, &task),
		  KOVA_ERROR_BAD_STATE)
		<< "not started";
	start();
	EXPECT_EQ(kova_compress_task_compress_deflate_set_conf(lib, on_success, on_error, 4), KOVA_ERROR_BAD_STATE)
		<< "running";
	EXPECT_EQ(kova_compress_task_compress_deflate_alloc_init(lib, nullptr, dst, kova_data{.u64 = 1}, &task),
		  KOVA_ERROR_INVALID_VALUE);
	kova_compress_task_decompress_lz4_stream *lz4 = nullptr;
	EXPECT_EQ(kova_compress_task_decompress_lz4_stream_alloc_init(lib, 2, 0, src, dst, kova_data{.u64 = 1}, &lz4),
		  KOVA_ERROR_INVALID_VALUE);
	// The whole pool of 8 tasks, then one more.
	for (int i = 0; i < 8; ++i)
		compress_task(src, dst);
	EXPECT_EQ(kova_compress_task_compress_deflate_alloc_init(lib, src, dst, kova_data{.u64 = 1}, &task),
		  KOVA_ERROR_NO_MEMORY);
}

TEST_F(compress_library, sources_beyond_the_maximum_buffer_size_are_refused_at_submission)
{
	kova_test_override_capability("kova_compress_cap_task_compress_deflate_get_max_buf_size", KOVA_SUCCESS, 1000);
	kova_test_override_capability("kova_compress_cap_task_decompress_deflate_get_max_buf_size", KOVA_SUCCESS, 1000);
	start();
	uint64_t max = 0;
	ASSERT_EQ(kova_compress_cap_task_compress_deflate_get_max_buf_size(devinfo, &max), KOVA_SUCCESS);
	EXPECT_EQ(max, 1000u);
	auto *fits = compress_task(input(random_bytes(1000)), output(2000));
	EXPECT_EQ(run(kova_compress_task_compress_deflate_as_task(fits)), KOVA_SUCCESS);
	auto *big = compress_task(input(random_bytes(1001)), output(2000));
	EXPECT_EQ(kova_task_submit(kova_compress_task_compress_deflate_as_task(big)), KOVA_ERROR_INVALID_VALUE);
	// A decompression takes the compressed form of up to the maximum, which may be a little larger.
	auto *stream = decompress_task(kova_compress_task_compress_deflate_get_dst(fits), output(1000));
	EXPECT_EQ(run(kova_compress_task_decompress_deflate_as_task(stream)), KOVA_SUCCESS);
	auto *too_big = decompress_task(input(random_bytes(100000)), output(1000));
	EXPECT_EQ(kova_task_submit(kova_compress_task_decompress_deflate_as_task(too_big)), KOVA_ERROR_INVALID_VALUE);
}

} // namespace
} // namespace kova::sdk_local_test
