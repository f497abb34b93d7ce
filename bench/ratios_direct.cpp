// The libraries without the benchmark engine: loops that do what one task of a local step does,
// as fast as one thread can, for comparison with kova_bench on the same core and the same data.
//
//   ratios_direct dma <job-size> <jobs-in-flight> <seconds>
//   ratios_direct dma-count <job-size> <jobs-in-flight> <completions>
//   ratios_direct dma-latency <job-size> <jobs> <samples>
//   ratios_direct deflate-compress <input-file> <job-size> <seconds>
//   ratios_direct deflate-decompress <raw-deflate-file> <output-size> <seconds>
//   ratios_direct ec-create <input-file> <job-size> <data-blocks> <redundancy-blocks> <seconds>
//   ratios_direct remote-write <job-size> <region-size> <seconds>
//
// Each prints one line "jobs_per_second <n> bytes_per_second <n>" (bytes of the job's input size;
// none for decompression, whose jobs are counted); dma-latency prints "median_ns <n>" instead.
#include <kova/buf.h>
#include <kova/ctx.h>
#include <kova/dev.h>
#include <kova/dma.h>
#include <kova/error.h>
#include <kova/mmap.h>
#include <kova/pe.h>
#include <kova/task.h>

#include <isa-l/erasure_code.h>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>

#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

void check(kova_error err, const char *what)
{
	if (err != KOVA_SUCCESS)
		throw std::runtime_error(std::string{what} + " failed: " + std::to_string(err));
}

void print_rate(uint64_t jobs, std::size_t job_size, clock_type::duration elapsed)
{
	double const seconds = std::chrono::duration<double>(elapsed).count();
	std::printf("jobs_per_second %.1f bytes_per_second %.1f\n", static_cast<double>(jobs) / seconds,
		    static_cast<double>(jobs) * static_cast<double>(job_size) / seconds);
}

// The first job_size bytes of the file, repeated when the file is shorter.
std::vector<uint8_t> load_job(const std::string &path, std::size_t job_size)
{
	std::ifstream in{path, std::ios::binary};
	std::vector<uint8_t> file{std::istreambuf_iterator<char>{in}, std::istreambuf_iterator<char>{}};
	if (file.empty())
		throw std::runtime_error("empty or unreadable input file " + path);
	std::vector<uint8_t> job(job_size);
	for (std::size_t i = 0; i != job_size; ++i)
		job[i] = file[i % file.size()];
	return job;
}

// Runs `one_job` until `seconds` have passed, checking the clock every few jobs.
template <typename Job>
void timed_loop(double seconds, std::size_t job_size, Job one_job)
{
	auto const limit = std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
	uint64_t jobs = 0;
	auto const start = clock_type::now();
	auto now = start;
	do {
		for (int i = 0; i != 16; ++i)
			one_job();
		jobs += 16;
		now = clock_type::now();
	} while (now - start < limit);
	print_rate(jobs, job_size, now - start);
}

// DMA: the stand-in's memcpy tasks, each resubmitted from its own completion callback with its
// output reset, driven by a loop of kova_pe_progress.
struct dma_loop {
	uint64_t completions = 0;
	uint64_t limit = UINT64_MAX;
	bool resubmit = true;
};

void dma_resubmit(kova_task *task, kova_data, kova_data ctx_user_data)
{
	auto *loop = static_cast<dma_loop *>(ctx_user_data.ptr);
	++loop->completions;
	if (!loop->resubmit || loop->completions >= loop->limit)
		return;
	kova_buf_reset_data_len(kova_dma_task_memcpy_get_dst(reinterpret_cast<kova_dma_task_memcpy *>(task)));
	while (kova_task_submit(task) == KOVA_ERROR_AGAIN) {
	}
}

void dma_error(kova_task *, kova_data, kova_data)
{
	std::fputs("a DMA task failed\n", stderr);
	std::exit(1);
}

int64_t now_ns()
{
	return std::chrono::duration_cast<std::chrono::nanoseconds>(clock_type::now().time_since_epoch()).count();
}

// One job at a time, taking turns, as a precision-latency worker runs them: each sample is the
// time from the end of the previous job (or the start) through submission and progress calls to
// the end of this one, read from the same clock.
void dma_latency_samples(kova_pe *pe, const std::vector<kova_task *> &tasks, dma_loop &loop, uint64_t sample_count)
{
	std::vector<int64_t> samples;
	samples.reserve(sample_count);
	loop.resubmit = false;
	std::size_t job = 0;
	int64_t job_start = now_ns();
	for (uint64_t n = 0; n != sample_count; ++n) {
		kova_task *task = tasks[job];
		kova_buf_reset_data_len(kova_dma_task_memcpy_get_dst(reinterpret_cast<kova_dma_task_memcpy *>(task)));
		check(kova_task_submit(task), "kova_task_submit");
		uint64_t const done = loop.completions + 1;
		while (loop.completions < done)
			kova_pe_progress(pe);
		int64_t const job_end = now_ns();
		samples.push_back(job_end - job_start);
		job_start = job_end;
		job = job + 1 == tasks.size() ? 0 : job + 1;
	}
	std::sort(samples.begin(), samples.end());
	std::printf("median_ns %lld\n", static_cast<long long>(samples[samples.size() / 2]));
}

int run_dma(std::size_t job_size, uint32_t in_flight, double seconds, uint64_t completion_limit,
	    uint64_t latency_samples = 0)
{
	kova_devinfo **list = nullptr;
	uint32_t count = 0;
	check(kova_devinfo_create_list(&list, &count), "kova_devinfo_create_list");
	if (count == 0)
		throw std::runtime_error("no device");
	kova_dev *dev = nullptr;
	check(kova_dev_open(list[0], &dev), "kova_dev_open");

	std::vector<uint8_t> memory(std::size_t{in_flight} * job_size * 2, 'x');
	kova_mmap *mmap = nullptr;
	check(kova_mmap_create(&mmap), "kova_mmap_create");
	check(kova_mmap_add_dev(mmap, dev), "kova_mmap_add_dev");
	check(kova_mmap_set_memrange(mmap, memory.data(), memory.size()), "kova_mmap_set_memrange");
	check(kova_mmap_start(mmap), "kova_mmap_start");
	kova_buf_inventory *inventory = nullptr;
	check(kova_buf_inventory_create(2 * in_flight, &inventory), "kova_buf_inventory_create");
	check(kova_buf_inventory_start(inventory), "kova_buf_inventory_start");

	dma_loop loop;
	loop.limit = completion_limit;
	kova_pe *pe = nullptr;
	check(kova_pe_create(&pe), "kova_pe_create");
	kova_dma *dma = nullptr;
	check(kova_dma_create(dev, &dma), "kova_dma_create");
	kova_ctx *ctx = kova_dma_as_ctx(dma);
	check(kova_ctx_set_user_data(ctx, kova_data{.ptr = &loop}), "kova_ctx_set_user_data");
	uint32_t tasks_pow2 = 1;
	while (tasks_pow2 < in_flight)
		tasks_pow2 *= 2;
	check(kova_dma_task_memcpy_set_conf(dma, dma_resubmit, dma_error, tasks_pow2), "kova_dma_task_memcpy_set_conf");
	check(kova_pe_connect_ctx(pe, ctx), "kova_pe_connect_ctx");
	check(kova_ctx_start(ctx), "kova_ctx_start");

	std::vector<kova_task *> tasks;
	std::vector<kova_buf *> bufs;
	for (uint32_t i = 0; i != in_flight; ++i) {
		uint8_t *at = memory.data() + std::size_t{i} * job_size * 2;
		kova_buf *src = nullptr;
		kova_buf *dst = nullptr;
		check(kova_buf_inventory_buf_get_by_args(inventory, mmap, at, job_size, at, job_size, &src), "buf_get");
		check(kova_buf_inventory_buf_get_by_args(inventory, mmap, at + job_size, job_size, at + job_size, 0, &dst),
		      "buf_get");
		bufs.push_back(src);
		bufs.push_back(dst);
		kova_dma_task_memcpy *task = nullptr;
		check(kova_dma_task_memcpy_alloc_init(dma, src, dst, kova_data{.u64 = i + 1u}, &task), "alloc_init");
		tasks.push_back(kova_dma_task_memcpy_as_task(task));
	}

	auto const limit = std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
	auto const start = clock_type::now();
	if (latency_samples == 0) {
		for (kova_task *task : tasks)
			check(kova_task_submit(task), "kova_task_submit");
	}
	auto now = start;
	if (latency_samples != 0) {
		dma_latency_samples(pe, tasks, loop, latency_samples);
	} else if (completion_limit != UINT64_MAX) {
		while (loop.completions < completion_limit)
			kova_pe_progress(pe);
		now = clock_type::now();
	} else {
		do {
			for (int i = 0; i != 64; ++i)
				kova_pe_progress(pe);
			now = clock_type::now();
		} while (now - start < limit);
	}
	if (latency_samples == 0)
		print_rate(loop.completions, job_size, now - start);

	// A stopping context refuses the resubmissions, so the tasks drain.
	loop.limit = 0;
	kova_ctx_stop(ctx);
	while (kova_pe_progress(pe) != 0) {
	}
	for (kova_task *task : tasks)
		kova_task_free(task);
	check(kova_dma_destroy(dma), "kova_dma_destroy");
	check(kova_pe_destroy(pe), "kova_pe_destroy");
	for (kova_buf *buf : bufs)
		kova_buf_dec_refcount(buf, nullptr);
	kova_buf_inventory_destroy(inventory);
	kova_mmap_destroy(mmap);
	kova_dev_close(dev);
	kova_devinfo_destroy_list(list);
	return 0;
}

// Deflate as the compression library's tasks do it: igzip level 1 stateless raw deflate to
// compress, libdeflate to decompress, with the CRC-32 and Adler-32 of the uncompressed data.
int run_deflate_compress(const std::string &path, std::size_t job_size, double seconds)
{
	std::vector<uint8_t> const input = load_job(path, job_size);
	std::vector<uint8_t> output(job_size + job_size / 2 + 1024);
	std::vector<uint8_t> level_buf(ISAL_DEF_LVL1_DEFAULT);
	isal_zstream stream{};
	uint32_t sink = 0;
	timed_loop(seconds, job_size, [&] {
		isal_deflate_stateless_init(&stream);
		stream.level = 1;
		stream.level_buf = level_buf.data();
		stream.level_buf_size = static_cast<uint32_t>(level_buf.size());
		stream.gzip_flag = IGZIP_DEFLATE;
		stream.end_of_stream = 1;
		stream.flush = NO_FLUSH;
		stream.next_in = const_cast<uint8_t *>(input.data());
		stream.avail_in = static_cast<uint32_t>(input.size());
		stream.next_out = output.data();
		stream.avail_out = static_cast<uint32_t>(output.size());
		if (isal_deflate_stateless(&stream) != COMP_OK)
			throw std::runtime_error("isal_deflate_stateless failed");
		sink += libdeflate_crc32(0, input.data(), input.size()) + libdeflate_adler32(1, input.data(), input.size());
	});
	std::fprintf(stderr, "checksum sum %u\n", sink);
	return 0;
}

// The input file is raw deflate data that decompresses to at most job_size bytes.
int run_deflate_decompress(const std::string &path, std::size_t job_size, double seconds)
{
	std::ifstream in{path, std::ios::binary};
	std::vector<uint8_t> const compressed{std::istreambuf_iterator<char>{in}, std::istreambuf_iterator<char>{}};
	if (compressed.empty())
		throw std::runtime_error("empty or unreadable input file " + path);
	std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)> decompressor{
		libdeflate_alloc_decompressor(), libdeflate_free_decompressor};
	std::vector<uint8_t> output(job_size);
	std::size_t written = 0;
	uint32_t sink = 0;
	timed_loop(seconds, 0, [&] {
		if (libdeflate_deflate_decompress(decompressor.get(), compressed.data(), compressed.size(), output.data(),
						  output.size(), &written) != LIBDEFLATE_SUCCESS)
			throw std::runtime_error("libdeflate_deflate_decompress failed");
		sink += libdeflate_crc32(0, output.data(), written) + libdeflate_adler32(1, output.data(), written);
	});
	std::fprintf(stderr, "checksum sum %u decompressed %zu\n", sink, written);
	return 0;
}

// Erasure-coding create: the job split into k equal blocks, m redundancy blocks from a Cauchy
// matrix, as the erasure-coding library's create task does.
int run_ec_create(const std::string &path, std::size_t job_size, int k, int m, double seconds)
{
	std::vector<uint8_t> const input = load_job(path, job_size);
	std::size_t const block = (job_size + static_cast<std::size_t>(k) - 1) / static_cast<std::size_t>(k);
	std::vector<uint8_t> padded(block * static_cast<std::size_t>(k), 0);
	std::copy(input.begin(), input.end(), padded.begin());
	std::vector<uint8_t> matrix(static_cast<std::size_t>((k + m) * k));
	gf_gen_cauchy1_matrix(matrix.data(), k + m, k);
	std::vector<uint8_t> tables(static_cast<std::size_t>(32 * k * m));
	ec_init_tables(k, m, matrix.data() + k * k, tables.data());
	std::vector<uint8_t> output(block * static_cast<std::size_t>(m));
	std::vector<uint8_t *> sources;
	std::vector<uint8_t *> outputs;
	for (int i = 0; i != k; ++i)
		sources.push_back(padded.data() + block * static_cast<std::size_t>(i));
	for (int i = 0; i != m; ++i)
		outputs.push_back(output.data() + block * static_cast<std::size_t>(i));
	timed_loop(seconds, job_size, [&] {
		ec_encode_data(static_cast<int>(block), k, m, tables.data(), sources.data(), outputs.data());
	});
	std::fprintf(stderr, "first parity byte %u\n", output[0]);
	return 0;
}

// Job after job written into a region of another process with process_vm_writev, at offsets that
// walk the region: the copy a DMA task into a peer's exported memory makes, without the engine.
int run_remote_write(std::size_t job_size, std::size_t region_size, double seconds)
{
	if (job_size == 0 || region_size < job_size)
		throw std::runtime_error("the region must hold a job");
	int ready[2];
	if (::pipe(ready) != 0)
		throw std::runtime_error("pipe failed");
	std::vector<char> region(region_size);
	pid_t const peer = ::fork();
	if (peer == 0) {
		// The peer holds the region (its copy of the parent's pages) until the parent closes the pipe.
		::close(ready[1]);
		char c = 0;
		while (::read(ready[0], &c, 1) > 0) {
		}
		::_exit(0);
	}
	::close(ready[0]);
	std::vector<char> job(job_size, 'j');
	std::size_t const slots = region_size / job_size;
	uint64_t jobs = 0;
	auto const start = clock_type::now();
	auto const end = start + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
	clock_type::time_point now = start;
	while (now < end) {
		for (int i = 0; i != 64; ++i, ++jobs) {
			iovec local{job.data(), job_size};
			iovec far{region.data() + (jobs % slots) * job_size, job_size};
			if (::process_vm_writev(peer, &local, 1, &far, 1, 0) != static_cast<ssize_t>(job_size))
				throw std::runtime_error("process_vm_writev failed");
		}
		now = clock_type::now();
	}
	print_rate(jobs, job_size, now - start);
	::close(ready[1]);
	int status = 0;
	::waitpid(peer, &status, 0);
	return 0;
}

[[noreturn]] void usage()
{
	std::fputs("usage: ratios_direct dma|dma-count|dma-latency|deflate-compress|deflate-decompress|ec-create|remote-write ...\n",
		   stderr);
	std::exit(2);
}

} // namespace

int main(int argc, char **argv)
{
	std::vector<std::string> const args(argv + 1, argv + argc);
	if (args.empty())
		usage();
	try {
		std::string const &what = args[0];
		if (what == "dma" && args.size() == 4)
			return run_dma(std::stoul(args[1]), static_cast<uint32_t>(std::stoul(args[2])), std::stod(args[3]),
				       UINT64_MAX);
		if (what == "dma-latency" && args.size() == 4)
			return run_dma(std::stoul(args[1]), static_cast<uint32_t>(std::stoul(args[2])), 0, UINT64_MAX,
				       std::stoull(args[3]));
		if (what == "dma-count" && args.size() == 4)
			return run_dma(std::stoul(args[1]), static_cast<uint32_t>(std::stoul(args[2])), 0,
				       std::stoull(args[3]));
		if (what == "deflate-compress" && args.size() == 4)
			return run_deflate_compress(args[1], std::stoul(args[2]), std::stod(args[3]));
		if (what == "deflate-decompress" && args.size() == 4)
			return run_deflate_decompress(args[1], std::stoul(args[2]), std::stod(args[3]));
		if (what == "remote-write" && args.size() == 4)
			return run_remote_write(std::stoul(args[1]), std::stoul(args[2]), std::stod(args[3]));
		if (what == "ec-create" && args.size() == 6)
			return run_ec_create(args[1], std::stoul(args[2]), std::stoi(args[3]), std::stoi(args[4]),
					     std::stod(args[5]));
	} catch (const std::exception &e) {
		std::fprintf(stderr, "ratios_direct: %s\n", e.what());
		return 1;
	}
	usage();
}
