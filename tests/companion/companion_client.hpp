// A companion process started by a test, and a client that speaks to it frame by frame over
// loopback with the project's codec, answering the companion's keep-alives by itself.
#pragma once

#include "companion/api/message_buffer.hpp"
#include "companion/api/v1/codecs.hpp"
#include "utility/tcp_socket.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kova::test {

class companion_process {
public:
	// Starts the program with the arguments; its standard output and error go to files of its own.
	companion_process(const std::string &program, const std::vector<std::string> &args);
	companion_process(const companion_process &) = delete;
	companion_process &operator=(const companion_process &) = delete;
	// Kills the process when it still runs, and removes its files.
	~companion_process();

	void interrupt() const;
	// Ends the process at once (SIGKILL) and reaps it.
	void kill();
	// The exit status; -1 when it did not exit within the limit, 128 + n after signal n.
	int wait_exit(std::chrono::seconds limit);
	[[nodiscard]] bool running();
	[[nodiscard]] std::string out() const;
	[[nodiscard]] std::string err() const;

private:
	pid_t m_pid = -1;
	int m_status = -1;
	std::string m_out_path;
	std::string m_err_path;
};

// The arguments of a companion serving TCP on the port with device 03:00.0.
std::vector<std::string> server_args(uint16_t port);

class scripted_client {
public:
	// Connects to 127.0.0.1:port, retrying while refused, for up to `limit`.
	explicit scripted_client(uint16_t port, std::chrono::seconds limit = std::chrono::seconds{20});

	void send_raw(const std::vector<char> &bytes);
	void send(kova::bench::companion::api::message_buffer buffer);

	template <typename T>
	void send(const T &message, kova::bench::companion::api::version version = {1, 24})
	{
		kova::bench::companion::api::message_buffer buffer;
		kova::bench::companion::api::v1::encode_api_message(message, buffer);
		buffer.set_api_version(version);
		send(std::move(buffer));
	}

	// The next frame that is not a keep-alive request, within 15 s; throws otherwise.
	kova::bench::companion::api::message_buffer receive();

	// Sends the request and decodes its reply as R; an error reply fails the test through a throw.
	template <typename R, typename T>
	R request(const T &message)
	{
		send(message);
		auto const reply = receive();
		R decoded{};
		kova::bench::companion::api::v1::decode_api_message(reply, decoded);
		return decoded;
	}

	// Sends the request and decodes its reply as an error response (throws for another reply).
	template <typename T>
	kova::bench::companion::api::v1::error_response refused(const T &message,
								 kova::bench::companion::api::version version = {1, 24})
	{
		send(message, version);
		return as_error(receive());
	}

	static kova::bench::companion::api::v1::error_response as_error(const kova::bench::companion::api::message_buffer &reply);

	// Says hello with the versions and returns the companion's list.
	std::vector<kova::bench::companion::api::version> hello(std::vector<kova::bench::companion::api::version> versions = {{1, 24}});

	// True when the companion closes the link within the limit (frames arriving meanwhile are dropped).
	bool closed_within(std::chrono::seconds limit);

	void set_answer_keep_alives(bool answer) noexcept { m_answer_keep_alives = answer; }
	[[nodiscard]] int keep_alives_seen() const noexcept { return m_keep_alives_seen; }
	void close() noexcept { m_socket.close(); }

private:
	bool take_frame(kova::bench::companion::api::message_buffer &frame);

	kova::bench::utility::tcp_socket m_socket{kova::bench::utility::tcp_socket{static_cast<uint32_t>(-1)}};
	std::vector<char> m_pending;
	bool m_answer_keep_alives = true;
	int m_keep_alives_seen = 0;
};

} // namespace kova::test
