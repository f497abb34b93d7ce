// Tests for utility/file_utils.
#include "utility/file_utils.hpp"

#include "kova_exception.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace util = kova::bench::utility;
namespace fs = std::filesystem;

TEST(append_file_path, joins_with_one_separator)
{
	struct {
		kova::optional<std::string> directory;
		std::string name;
		std::string expected;
	} const cases[] = {
		{std::string{"in"}, "a.bin", "in/a.bin"},
		{std::string{"in/"}, "a.bin", "in/a.bin"},
		{{}, "a.bin", "a.bin"},
		{std::string{""}, "a.bin", "a.bin"},
		{std::string{"in"}, "/abs", "in/abs"},
		{std::string{"/"}, "x", "/x"},
		{std::string{"in"}, "", "in/"},
	};
	for (auto const &c : cases) {
		SCOPED_TRACE(c.expected);
		EXPECT_EQ(util::append_file_path(c.directory, c.name), c.expected);
	}
}

class load_file : public ::testing::Test {
protected:
	void SetUp() override
	{
		m_dir = fs::path{KOVA_TEST_BINARY_DIR} / "file_utils_test" /
			::testing::UnitTest::GetInstance()->current_test_info()->name();
		fs::remove_all(m_dir);
		fs::create_directories(m_dir);
	}

	void TearDown() override { fs::remove_all(m_dir); }

	std::string write(const std::string &name, const std::string &content)
	{
		auto const path = (m_dir / name).string();
		std::ofstream{path, std::ios::binary} << content;
		return path;
	}

	void expect_failure(const std::string &path, const std::string &message)
	{
		SCOPED_TRACE(path);
		for (int as_vector = 0; as_vector < 2; ++as_vector) {
			try {
				if (as_vector != 0)
					(void)util::load_file_to_vector(path);
				else
					(void)util::load_file_to_string(path);
				FAIL() << "no exception";
			} catch (const kova::exception &e) {
				EXPECT_EQ(e.code(), KOVA_ERROR_NOT_FOUND);
				EXPECT_EQ(e.what(), message + "\"" + path + "\"");
				EXPECT_STREQ(e.function(), "load_file_bytes");
			}
		}
	}

	fs::path m_dir;
};

TEST_F(load_file, reads_whole_content)
{
	std::string const binary{"a\0b\r\n\xff", 6};
	for (std::string const &content : {std::string{}, std::string{"hello"}, binary, std::string(100000, 'x')}) {
		SCOPED_TRACE(content.size());
		auto const path = write("data.bin", content);
		EXPECT_EQ(util::load_file_to_string(path), content);
		EXPECT_EQ(util::load_file_to_vector(path), std::vector<char>(content.begin(), content.end()));
	}
}

TEST_F(load_file, missing_file_cannot_be_opened)
{
	expect_failure((m_dir / "missing.bin").string(), "Unable to open file: ");
}

TEST_F(load_file, directory_is_not_read)
{
	expect_failure(m_dir.string(), "Failed to read content of file: ");
}

TEST_F(load_file, fifo_is_not_read)
{
	auto const path = (m_dir / "fifo").string();
	ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
	expect_failure(path, "Failed to read content of file: ");
}
