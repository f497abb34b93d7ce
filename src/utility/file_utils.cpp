#include "utility/file_utils.hpp"

#include "kova_exception.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <functional>

namespace kova::bench::utility {
namespace {

class file_descriptor {
public:
	explicit file_descriptor(int fd) noexcept : m_fd{fd} {}
	~file_descriptor()
	{
		if (m_fd >= 0)
			::close(m_fd);
	}
	file_descriptor(const file_descriptor &) = delete;
	file_descriptor &operator=(const file_descriptor &) = delete;

	[[nodiscard]] int get() const noexcept { return m_fd; }

private:
	int m_fd;
};

// Reads the whole regular file at `path` into the room that `make_room(size)`
// provides. Anything that is not a regular file (a directory, a pipe) or that
// changes size while it is read fails as unreadable.
void load_file_bytes(const std::string &path, const std::function<char *(std::size_t)> &make_room)
{
	// Non-blocking, so that opening a FIFO without a writer does not hang.
	file_descriptor const file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
	if (file.get() < 0)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "Unable to open file: \"" + path + "\"");

	struct stat info {};
	if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "Failed to read content of file: \"" + path + "\"");

	auto const size = static_cast<std::size_t>(info.st_size);
	char *const data = make_room(size);
	std::size_t done = 0;
	while (done < size) {
		ssize_t const got = ::read(file.get(), data + done, size - done);
		if (got < 0 && errno == EINTR)
			continue;
		if (got <= 0)
			KOVA_THROW(KOVA_ERROR_NOT_FOUND, "Failed to read content of file: \"" + path + "\"");
		done += static_cast<std::size_t>(got);
	}
}

template <typename Container>
Container load_file_as(const std::string &path)
{
	Container content;
	load_file_bytes(path, [&content](std::size_t size) {
		content.resize(size);
		return content.data();
	});
	return content;
}

} // namespace

std::string append_file_path(const kova::optional<std::string> &directory, const std::string &file_name)
{
	if (!directory.has_value() || directory->empty())
		return file_name;
	std::string path = *directory;
	if (path.back() != '/' && (file_name.empty() || file_name.front() != '/'))
		path += '/';
	path += file_name;
	return path;
}

std::string load_file_to_string(const std::string &path) { return load_file_as<std::string>(path); }

std::vector<char> load_file_to_vector(const std::string &path) { return load_file_as<std::vector<char>>(path); }

} // namespace kova::bench::utility
