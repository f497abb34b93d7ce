// The source of a permutation's job input bytes. A provider builds all of its
// jobs in its constructor and afterwards only hands them out.
#pragma once

#include "kova_optional.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace kova::bench {

class data_provider {
public:
	struct attributes {
		// Joined in front of every file name.
		kova::optional<std::string> input_directory;
		// The data file, or the list file for the file-set provider.
		kova::optional<std::string> input_file;
		uint32_t job_count = 0;
		// 0 when the permutation has no uniform job size.
		uint32_t uniform_job_size = 0;
		// File provider: each job continues reading where the previous one stopped.
		bool continue_stream = true;
	};

	// One job's input bytes (the byte vector the file utilities load into).
	using prototype_job = std::vector<char>;

	struct prototype_jobs {
		std::vector<prototype_job> jobs;
		// True for the file-set provider, whose jobs each have their own size.
		bool is_file_set = false;

		[[nodiscard]] uint64_t total_memory_size() const noexcept;
	};

	virtual ~data_provider() = default;

	[[nodiscard]] virtual const prototype_jobs &get_job_prototypes() const = 0;
};

} // namespace kova::bench
