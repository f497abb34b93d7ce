// A machine made of fake tools for the environment-information tests: a
// temporary directory holding bin/ (the only directory on PATH, with the
// chosen tools linked to data/fake_tool, and cat to data/fake_cat), out/ (what
// each tool prints, by command line) and root/ (the files cat serves).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <unistd.h>

namespace kova::test {

class fake_machine {
public:
	explicit fake_machine(const std::string &fixture = "")
	{
		char pattern[] = "/tmp/kova_fake_machine_XXXXXX";
		if (::mkdtemp(pattern) != nullptr)
			m_root = pattern;
		std::filesystem::create_directories(m_root / "bin");
		std::filesystem::create_directories(m_root / "out");
		std::filesystem::create_directories(m_root / "root");
		if (!fixture.empty())
			std::filesystem::copy(data() / fixture, m_root, std::filesystem::copy_options::recursive |
									       std::filesystem::copy_options::overwrite_existing);
		const char *path = std::getenv("PATH");
		m_saved_path = path != nullptr ? path : "";
		::setenv("PATH", (m_root / "bin").c_str(), 1);
		::setenv("KOVA_FAKE_ROOT", m_root.c_str(), 1);
	}

	~fake_machine()
	{
		::setenv("PATH", m_saved_path.c_str(), 1);
		::unsetenv("KOVA_FAKE_ROOT");
		std::error_code ignored;
		std::filesystem::remove_all(m_root, ignored);
	}

	fake_machine(const fake_machine &) = delete;
	fake_machine &operator=(const fake_machine &) = delete;

	static std::filesystem::path data() { return std::filesystem::path{KOVA_TEST_SOURCE_DIR} / "envinfo" / "data"; }

	// Puts the tools on the machine; "cat" serves files from root/.
	void install(std::initializer_list<const char *> tools) const
	{
		for (const char *tool : tools) {
			std::filesystem::path const target = data() / (std::string{tool} == "cat" ? "fake_cat" : "fake_tool");
			std::filesystem::create_symlink(target, m_root / "bin" / tool);
		}
	}

	// What the tool prints for the command line written as a key
	// (<tool>_<arg>_..., "/" and "*" as "%").
	void output(const std::string &key, const std::string &text) const { write(m_root / "out" / key, text); }
	void exit_status(const std::string &key, int status) const
	{
		write(m_root / "out" / (key + ".status"), std::to_string(status));
	}
	void hang(const std::string &key) const { write(m_root / "out" / (key + ".hang"), ""); }

	// A file that cat serves at the absolute path.
	void file(const std::string &path, const std::string &text) const
	{
		std::filesystem::path const target = m_root / "root" / std::filesystem::path{path}.relative_path();
		std::filesystem::create_directories(target.parent_path());
		write(target, text);
	}

	void remove_file(const std::string &path) const
	{
		std::filesystem::remove(m_root / "root" / std::filesystem::path{path}.relative_path());
	}

private:
	static void write(const std::filesystem::path &path, const std::string &text)
	{
		std::ofstream stream{path, std::ios::binary};
		stream << text;
	}

	std::filesystem::path m_root;
	std::string m_saved_path;
};

} // namespace kova::test
