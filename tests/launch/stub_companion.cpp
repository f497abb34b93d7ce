// A stand-in for kova_bench_companion in the remote-launch tests. It takes the
// companion's command line; "main" serves one benchmark over TCP until its bye,
// and the query methods print a banner and then an answer line. Test controls,
// placed before the companion's own options:
//   --exit-code N   print the banner and a line on stderr, then exit with N
//   --silent        print nothing at all and exit 0
//   --print TEXT    print TEXT as a line after the banner (repeatable)
//   --no-answer     the query methods print their candidates but no answer
#include "companion/api/connection.hpp"
#include "companion/api/tcp_connect.hpp"
#include "companion/api/v1/codecs.hpp"
#include "companion/api/v1/messages.hpp"
#include "kova_exception.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace api = kova::bench::companion::api;

constexpr int64_t connect_time_limit_s = 60;
constexpr uint64_t max_message_size = 1024 * 1024;

struct options {
	std::string method;
	int tcp_port = -1;
	std::vector<std::string> candidates;
	int exit_code = -1;
	bool silent = false;
	bool answer = true;
	std::vector<std::string> extra_lines;
};

options parse(int argc, char **argv)
{
	options result;
	for (int i = 1; i < argc; ++i) {
		std::string const name = argv[i];
		if (name == "--silent") {
			result.silent = true;
			continue;
		}
		if (name == "--no-answer") {
			result.answer = false;
			continue;
		}
		if (i + 1 >= argc) {
			std::fprintf(stderr, "missing value of %s\n", name.c_str());
			std::exit(64);
		}
		std::string const value = argv[++i];
		if (name == "--method")
			result.method = value;
		else if (name == "--tcp-port")
			result.tcp_port = std::atoi(value.c_str());
		else if (name == "--candidate")
			result.candidates.push_back(value);
		else if (name == "--exit-code")
			result.exit_code = std::atoi(value.c_str());
		else if (name == "--print")
			result.extra_lines.push_back(value);
		// --device, --representor, --gpu, --comms-type: accepted as they are
	}
	return result;
}

// The session ends when ssh goes away: standard input then reaches its end.
void exit_when_input_ends()
{
	std::thread{[] {
		pollfd input{STDIN_FILENO, POLLIN, 0};
		char byte;
		while (::poll(&input, 1, -1) >= 0) {
			if (::read(STDIN_FILENO, &byte, 1) <= 0)
				::_exit(2);
		}
	}}.detach();
}

int serve(const options &opts)
{
	auto link = api::connect_via_tcp_as_server(static_cast<uint16_t>(opts.tcp_port), connect_time_limit_s,
						   max_message_size);
	auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds{connect_time_limit_s};
	api::message_buffer message;
	while (std::chrono::steady_clock::now() < deadline) {
		if (!link->receive(message)) {
			std::this_thread::sleep_for(std::chrono::milliseconds{1});
			continue;
		}
		if (!api::v1::is_a<api::v1::bye_request>(message)) {
			std::fprintf(stderr, "unexpected message type %u\n", message.get_message_type_id());
			return 3;
		}
		api::v1::bye_request bye;
		api::v1::decode_api_message(message, bye);
		api::v1::encode_api_message(api::v1::bye_response{bye.id}, message);
		link->send(message);
		link->disconnect(false);
		std::printf("[main] bye\n");
		return 0;
	}
	std::fprintf(stderr, "no bye\n");
	return 4;
}

} // namespace

int main(int argc, char **argv)
{
	options const opts = parse(argc, argv);
	if (opts.silent)
		return 0;
	std::printf("kova_bench_companion (stub) method %s\n", opts.method.c_str());
	for (const auto &line : opts.extra_lines)
		std::printf("%s\n", line.c_str());
	std::fflush(stdout);
	if (opts.exit_code >= 0) {
		std::fprintf(stderr, "stub exiting with %d\n", opts.exit_code);
		return opts.exit_code;
	}

	if (opts.method == "main") {
		exit_when_input_ends();
		try {
			return serve(opts);
		} catch (const kova::exception &e) {
			std::fprintf(stderr, "stub failed: %s\n", e.what());
			return 5;
		}
	}
	if (opts.method == "identify_dpu_device_address_matching_representor" ||
	    opts.method == "select_representor_address_visible_to_host") {
		std::printf("candidates:");
		for (const auto &candidate : opts.candidates)
			std::printf(" %s", candidate.c_str());
		std::printf("\n");
		// The answer: the last candidate.
		if (opts.answer && !opts.candidates.empty())
			std::printf("%s\n", opts.candidates.back().c_str());
		return 0;
	}
	std::fprintf(stderr, "unknown method %s\n", opts.method.c_str());
	return 64;
}
