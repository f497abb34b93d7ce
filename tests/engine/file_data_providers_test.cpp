// Unit tests for src/data_provider/file_data_provider.cpp and file_set_data_provider.cpp
#include "data_provider/file_data_provider.hpp"
#include "data_provider/file_set_data_provider.hpp"

#include "kova_exception.hpp"
#include "support/kova_throws.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

namespace fs = std::filesystem;
using kova::bench::data_provider;
using kova::bench::file_data_provider;
using kova::bench::file_set_data_provider;

namespace {

// A fresh directory for one test, removed afterwards.
class data_files : public ::testing::Test {
protected:
	void SetUp() override
	{
		std::string pattern = (fs::temp_directory_path() / "kova_providers_XXXXXX").string();
		ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
		m_dir = pattern;
	}
	void TearDown() override { fs::remove_all(m_dir); }

	void write(const std::string &name, const std::string &content) const
	{
		std::ofstream{m_dir / name, std::ios::binary} << content;
	}

	data_provider::attributes attrs(const std::string &file, uint32_t job_count, uint32_t job_size) const
	{
		data_provider::attributes a;
		a.input_directory = m_dir.string();
		a.input_file = file;
		a.job_count = job_count;
		a.uniform_job_size = job_size;
		return a;
	}

	static std::vector<std::string> as_text(const data_provider &provider)
	{
		std::vector<std::string> out;
		for (auto const &job : provider.get_job_prototypes().jobs)
			out.emplace_back(job.begin(), job.end());
		return out;
	}

	fs::path m_dir;
};

void expect_refused(const std::function<void()> &make, kova_error code, const std::string &message)
{
	EXPECT_KOVA_THROW(make(), code, message);
}

} // namespace

using file_data_provider_test = data_files;
using file_set_data_provider_test = data_files;

TEST_F(file_data_provider_test, cycles_through_a_ten_byte_file)
{
	write("ten.bin", "0123456789");
	auto a = attrs("ten.bin", 3, 4);
	file_data_provider streamed{a};
	EXPECT_EQ(as_text(streamed), (std::vector<std::string>{"0123", "4567", "8901"}));
	EXPECT_FALSE(streamed.get_job_prototypes().is_file_set);
	EXPECT_EQ(streamed.get_job_prototypes().total_memory_size(), 12u);

	a.continue_stream = false;
	file_data_provider restarted{a};
	EXPECT_EQ(as_text(restarted), (std::vector<std::string>{"0123", "0123", "0123"}));
}

TEST_F(file_data_provider_test, job_longer_than_the_file_repeats_it)
{
	write("short.bin", "abc");
	file_data_provider provider{attrs("short.bin", 2, 7)};
	EXPECT_EQ(as_text(provider), (std::vector<std::string>{"abcabca", "bcabcab"}));
}

TEST_F(file_data_provider_test, refusals)
{
	write("empty.bin", "");
	write("data.bin", "x");
	auto no_file = attrs("data.bin", 1, 4);
	no_file.input_file.reset();
	expect_refused([&] { file_data_provider{no_file}; }, KOVA_ERROR_INVALID_VALUE, "Input file name not provided");
	expect_refused([&] { file_data_provider{attrs("data.bin", 1, 0)}; }, KOVA_ERROR_INVALID_VALUE,
		       "Uniform data size must not be 0 when using file data provider");
	expect_refused([&] { file_data_provider{attrs("data.bin", 0, 4)}; }, KOVA_ERROR_INVALID_VALUE,
		       "Number of jobs to produce must not be 0");
	expect_refused([&] { file_data_provider{attrs("empty.bin", 1, 4)}; }, KOVA_ERROR_INVALID_VALUE,
		       "Input data file is empty");
	expect_refused([&] { file_data_provider{attrs("missing.bin", 1, 4)}; }, KOVA_ERROR_NOT_FOUND,
		       "Unable to open file: \"" + (m_dir / "missing.bin").string() + "\"");
}

TEST_F(file_set_data_provider_test, cycles_names_and_drops_blank_lines)
{
	write("first.bin", "one");
	write("second.bin", "second");
	write("list.txt", "\n  first.bin  \n\n\t\nsecond.bin\r\n   \n");
	file_set_data_provider provider{attrs("list.txt", 5, 0)};
	EXPECT_EQ(as_text(provider), (std::vector<std::string>{"one", "second", "one", "second", "one"}));
	EXPECT_TRUE(provider.get_job_prototypes().is_file_set);
	EXPECT_EQ(provider.get_job_prototypes().total_memory_size(), 3u * 3 + 2u * 6);
}

TEST_F(file_set_data_provider_test, names_without_a_directory_are_used_as_given)
{
	write("data.bin", "abc");
	write("list.txt", (m_dir / "data.bin").string());
	auto a = attrs((m_dir / "list.txt").string(), 1, 0);
	a.input_directory.reset();
	file_set_data_provider provider{a};
	EXPECT_EQ(as_text(provider), (std::vector<std::string>{"abc"}));
}

TEST_F(file_set_data_provider_test, absolute_names_are_not_joined_to_the_input_directory)
{
	std::string other = (fs::temp_directory_path() / "kova_providers_other_XXXXXX").string();
	ASSERT_NE(::mkdtemp(other.data()), nullptr);
	std::ofstream{fs::path{other} / "elsewhere.bin", std::ios::binary} << "far";
	write("near.bin", "near");
	write("list.txt", (fs::path{other} / "elsewhere.bin").string() + "\nnear.bin\n");
	file_set_data_provider provider{attrs("list.txt", 2, 0)};
	fs::remove_all(other);
	EXPECT_EQ(as_text(provider), (std::vector<std::string>{"far", "near"}));
}

TEST_F(file_set_data_provider_test, refusals)
{
	write("empty.txt", "");
	write("blank.txt", "\n   \n\t\n");
	write("empty.bin", "");
	write("list.txt", "empty.bin\n");
	auto no_file = attrs("list.txt", 1, 0);
	no_file.input_file.reset();
	expect_refused([&] { file_set_data_provider{no_file}; }, KOVA_ERROR_INVALID_VALUE,
		       "Input file_set data file name not provided");
	expect_refused([&] { file_set_data_provider{attrs("list.txt", 1, 8)}; }, KOVA_ERROR_INVALID_VALUE,
		       "Uniform data size must be 0 when using file_set data provider");
	expect_refused([&] { file_set_data_provider{attrs("list.txt", 0, 0)}; }, KOVA_ERROR_INVALID_VALUE,
		       "Number of jobs to produce must not be 0");
	expect_refused([&] { file_set_data_provider{attrs("empty.txt", 1, 0)}; }, KOVA_ERROR_INVALID_VALUE,
		       "Input file_set data file is empty");
	expect_refused([&] { file_set_data_provider{attrs("blank.txt", 1, 0)}; }, KOVA_ERROR_INVALID_VALUE,
		       "File set does not name any data files to use.");
	expect_refused([&] { file_set_data_provider{attrs("list.txt", 1, 0)}; }, KOVA_ERROR_INVALID_VALUE,
		       "Input data file: \"empty.bin\" is empty");
}
