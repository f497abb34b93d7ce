// What the tests of the local offload steps share: steps built on the fixture's engine, the code and
// message of a failed construction, tasks run to their completion, and the SDK's call trace.
#pragma once

#include "step/dma_fixture.hpp"

#include "kova_exception.hpp"

#include <kova/test_control.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace kova::bench::step::test {

class local_step_fixture : public dma_fixture {
protected:
	template <typename Step>
	std::unique_ptr<Step> make()
	{
		return std::make_unique<Step>(attributes, state, pe.get(), on_success, on_error, self());
	}

	// The code and message of what the call throws; {0, "no exception"} when it throws nothing.
	static std::pair<kova_error, std::string> failure(const std::function<void()> &call)
	{
		try {
			call();
		} catch (const kova::exception &error) {
			return {error.code(), error.what()};
		}
		return {KOVA_SUCCESS, "no exception"};
	}

	// Submits the task, waits for its completion and returns its status.
	kova_error run(kova_task *task)
	{
		std::size_t const before = completions.size();
		if (kova_error const err = kova_task_submit(task))
			return err;
		wait_for_completions(before + 1);
		return completions.size() > before ? completions.back().status : kova_error{KOVA_ERROR_TIME_OUT};
	}

	// The SDK calls traced since the last reset, one per line.
	static std::string trace()
	{
		char text[8192];
		kova_test_trace_read(text, sizeof(text));
		return text;
	}

	// A buffer holding the bytes.
	kova_buf *input_bytes(const std::vector<uint8_t> &bytes)
	{
		return input(std::string{bytes.begin(), bytes.end()});
	}

	object::attributes attributes = make_attributes(8, 4);
};

// Two hexadecimal digits per byte.
inline std::string to_hex(const std::string &bytes)
{
	static const char digits[] = "0123456789abcdef";
	std::string out;
	for (unsigned char byte : bytes) {
		out += digits[byte >> 4];
		out += digits[byte & 0xf];
	}
	return out;
}

inline std::string from_hex(const std::string &hex)
{
	std::string out;
	for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
		out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
	return out;
}

} // namespace kova::bench::step::test
