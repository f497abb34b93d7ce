// A private sshd on 127.0.0.1 for the remote-launch tests. It runs on a free
// port with keys generated under a temporary directory, accepts only the
// generated client key, and is stopped by its process id. The ssh client is
// pointed at it through a test configuration bind-mounted over the system one
// inside a mount namespace of this test process, so the user's own ssh set-up
// is neither used nor touched.
#pragma once

#include "impl/shell_process.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace kova::test {

class ssh_peer {
public:
	ssh_peer() = default;
	~ssh_peer();

	ssh_peer(const ssh_peer &) = delete;
	ssh_peer &operator=(const ssh_peer &) = delete;

	// Empty when the peer runs; otherwise why it could not be set up (the
	// tests then skip). Must be called while the process has one thread.
	std::string start();
	void stop();

	[[nodiscard]] uint16_t port() const { return m_port; }
	[[nodiscard]] const std::string &destination() const { return m_destination; }
	[[nodiscard]] const std::filesystem::path &directory() const { return m_directory; }

private:
	std::string generate_keys();
	std::string run_sshd();
	std::string isolate_ssh_client();

	std::filesystem::path m_directory;
	std::unique_ptr<bench::utility::shell_process> m_sshd;
	uint16_t m_port = 0;
	std::string m_destination;
};

// A test suite whose tests share one ssh peer, started before the first test. Without the peer the
// tests are skipped, and fail under CI (CI=true), where the peer is a prerequisite.
class ssh_peer_suite : public ::testing::Test {
protected:
	static void SetUpTestSuite();
	static void TearDownTestSuite();
	void SetUp() override;

	static inline ssh_peer *s_peer = nullptr;
	static inline std::string s_skip_reason;
};

} // namespace kova::test
