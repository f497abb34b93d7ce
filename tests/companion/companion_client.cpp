#include "companion/companion_client.hpp"

#include "kova_exception.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace kova::test {
namespace {

namespace api = kova::bench::companion::api;
namespace v1 = kova::bench::companion::api::v1;
using clock = std::chrono::steady_clock;

std::string make_temp_file()
{
	char name[] = "/tmp/kova_companion_test_XXXXXX";
	int const fd = ::mkstemp(name);
	if (fd < 0)
		throw std::runtime_error{"mkstemp failed"};
	::close(fd);
	return name;
}

std::string read_file(const std::string &path)
{
	std::ifstream in{path};
	std::stringstream text;
	text << in.rdbuf();
	return text.str();
}

int decode_status(int status)
{
	if (WIFEXITED(status))
		return WEXITSTATUS(status);
	if (WIFSIGNALED(status))
		return 128 + WTERMSIG(status);
	return -1;
}

} // namespace

companion_process::companion_process(const std::string &program, const std::vector<std::string> &args)
	: m_out_path{make_temp_file()}, m_err_path{make_temp_file()}
{
	std::vector<char *> argv;
	argv.push_back(const_cast<char *>(program.c_str()));
	for (auto const &arg : args)
		argv.push_back(const_cast<char *>(arg.c_str()));
	argv.push_back(nullptr);
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addopen(&actions, 1, m_out_path.c_str(), O_WRONLY | O_TRUNC, 0);
	posix_spawn_file_actions_addopen(&actions, 2, m_err_path.c_str(), O_WRONLY | O_TRUNC, 0);
	int const result = ::posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ);
	posix_spawn_file_actions_destroy(&actions);
	if (result != 0)
		throw std::runtime_error{"cannot start " + program};
}

companion_process::~companion_process()
{
	if (running()) {
		::kill(m_pid, SIGKILL);
		int status = 0;
		::waitpid(m_pid, &status, 0);
	}
	::unlink(m_out_path.c_str());
	::unlink(m_err_path.c_str());
}

void companion_process::interrupt() const
{
	::kill(m_pid, SIGINT);
}

void companion_process::kill()
{
	if (running()) {
		::kill(m_pid, SIGKILL);
		int status = 0;
		if (::waitpid(m_pid, &status, 0) == m_pid)
			m_status = decode_status(status);
	}
}

bool companion_process::running()
{
	if (m_status != -1)
		return false;
	int status = 0;
	if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
		m_status = decode_status(status);
		return false;
	}
	return true;
}

int companion_process::wait_exit(std::chrono::seconds limit)
{
	auto const deadline = clock::now() + limit;
	while (running()) {
		if (clock::now() > deadline)
			return -1;
		std::this_thread::sleep_for(std::chrono::milliseconds{5});
	}
	return m_status;
}

std::string companion_process::out() const
{
	return read_file(m_out_path);
}

std::string companion_process::err() const
{
	return read_file(m_err_path);
}

std::vector<std::string> server_args(uint16_t port)
{
	return {"--method", "main", "--comms-type", "tcp", "--device", "0000:03:00.0", "--tcp-port", std::to_string(port)};
}

scripted_client::scripted_client(uint16_t port, std::chrono::seconds limit)
{
	auto const deadline = clock::now() + limit;
	for (;;) {
		kova::bench::utility::tcp_socket socket;
		socket.connect("127.0.0.1", port);
		kova::bench::utility::connect_state state = socket.poll_is_connected();
		while (state == kova::bench::utility::connect_state::in_progress && clock::now() < deadline) {
			std::this_thread::sleep_for(std::chrono::milliseconds{1});
			state = socket.poll_is_connected();
		}
		if (state == kova::bench::utility::connect_state::connected) {
			m_socket = std::move(socket);
			return;
		}
		if (clock::now() > deadline)
			throw std::runtime_error{"cannot connect to the companion"};
		std::this_thread::sleep_for(std::chrono::milliseconds{20});
	}
}

void scripted_client::send_raw(const std::vector<char> &bytes)
{
	kova::bench::utility::span<char const> rest{bytes};
	auto const deadline = clock::now() + std::chrono::seconds{10};
	while (!rest.empty()) {
		rest = rest.subspan(m_socket.write(rest));
		if (clock::now() > deadline)
			throw std::runtime_error{"write stalled"};
	}
}

void scripted_client::send(api::message_buffer buffer)
{
	buffer.set_expected_content_size();
	send_raw(buffer.get_content());
}

bool scripted_client::take_frame(api::message_buffer &frame)
{
	uint32_t const expected = api::get_expected_content_size(kova::bench::utility::span<char const>{m_pending});
	if (expected == 0 || m_pending.size() < expected)
		return false;
	frame = api::message_buffer{std::vector<char>(m_pending.begin(), m_pending.begin() + expected)};
	m_pending.erase(m_pending.begin(), m_pending.begin() + expected);
	return true;
}

api::message_buffer scripted_client::receive()
{
	auto const deadline = clock::now() + std::chrono::seconds{15};
	char chunk[65536];
	for (;;) {
		api::message_buffer frame;
		while (take_frame(frame)) {
			if (!v1::is_a<v1::keep_alive_request>(frame))
				return frame;
			++m_keep_alives_seen;
			if (m_answer_keep_alives)
				send(v1::keep_alive_response{frame.get_message_id()});
		}
		auto const got = m_socket.read(kova::bench::utility::span<char>{chunk});
		m_pending.insert(m_pending.end(), got.begin(), got.end());
		if (got.empty()) {
			if (clock::now() > deadline)
				throw std::runtime_error{"no reply from the companion"};
			std::this_thread::sleep_for(std::chrono::milliseconds{1});
		}
	}
}

v1::error_response scripted_client::as_error(const api::message_buffer &reply)
{
	v1::error_response error;
	v1::decode_api_message(reply, error);
	return error;
}

std::vector<api::version> scripted_client::hello(std::vector<api::version> versions)
{
	return request<v1::hello_response>(v1::hello_request{1, std::move(versions)}).supported_api_versions;
}

bool scripted_client::closed_within(std::chrono::seconds limit)
{
	auto const deadline = clock::now() + limit;
	char chunk[4096];
	while (clock::now() < deadline) {
		try {
			if (m_socket.read(kova::bench::utility::span<char>{chunk}).empty())
				std::this_thread::sleep_for(std::chrono::milliseconds{2});
		} catch (const kova::exception &) {
			return true;
		}
	}
	return false;
}

} // namespace kova::test
