// Flow ports and root pipes of the Ethernet receive queues.
#include "utility/eth_flow_ports.hpp"

#include "dl/kova_flow_api.hpp"
#include "kova_exception.hpp"

#include <kova/error.h>
#include <kova/flow.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace kova::bench::utility {

namespace {

constexpr uint16_t first_queue_id = 128;

struct id_pool {
	std::mutex mutex;
	std::set<uint16_t> used;
};

id_pool &ids()
{
	static id_pool pool;
	return pool;
}

// One device's port, root pipe and the records the pipe was built from (which must stay put).
struct port_state {
	kova_flow_port_cfg *port_cfg = nullptr;
	kova_flow_port *port = nullptr;
	kova_flow_pipe_cfg *pipe_cfg = nullptr;
	kova_flow_pipe *pipe = nullptr;
	kova_flow_pipe_entry *entry = nullptr;
	std::vector<uint16_t> queues;
	kova_flow_match match{};
	kova_flow_fwd fwd{};
	kova_flow_fwd miss{};
	kova_flow_actions actions{};
	std::array<kova_flow_actions *, 1> actions_list{};
};

const dl::kova_flow_api &get_flow_api_or_throw()
{
	const dl::kova_flow_api *api = dl::kova_flow_api::singleton();
	if (api == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_flow library is not installed");
	return *api;
}

struct flow_state {
	std::mutex mutex;
	kova_flow_cfg *cfg = nullptr;
	std::map<uint16_t, std::unique_ptr<port_state>> ports;
	uint32_t library_users = 0;

	[[nodiscard]] bool library_idle() const noexcept { return ports.empty() && library_users == 0; }
};

flow_state &flows()
{
	static flow_state state;
	return state;
}

void init_library(const dl::kova_flow_api &api, flow_state &s)
{
	kova_flow_cfg *cfg = nullptr;
	if (kova_error const err = api.kova_flow_cfg_create(&cfg))
		KOVA_THROW(err, "Failed to create kova_flow_cfgid of RXQ");
	try {
		if (kova_error const err = api.kova_flow_cfg_set_pipe_queues(cfg, 1))
			KOVA_THROW(err, "Failed to set pipe_queues");
		if (kova_error const err = api.kova_flow_cfg_set_mode_args(cfg, "vnf,hws,isolated"))
			KOVA_THROW(err, "Failed to set node_args");
		if (kova_error const err = api.kova_flow_cfg_set_nr_counters(cfg, 0x80000))
			KOVA_THROW(err, "Failed to set nr_counters`");
		if (kova_error const err = api.kova_flow_init_v1(cfg))
			KOVA_THROW(err, "Failed to init KOVA Flow");
	} catch (...) {
		static_cast<void>(api.kova_flow_cfg_destroy(cfg));
		throw;
	}
	s.cfg = cfg;
}

void shut_library(const dl::kova_flow_api &api, flow_state &s) noexcept
{
	api.kova_flow_destroy();
	static_cast<void>(api.kova_flow_cfg_destroy(s.cfg));
	s.cfg = nullptr;
}

void drop_pipe(const dl::kova_flow_api &api, port_state &p) noexcept
{
	if (p.pipe_cfg != nullptr)
		static_cast<void>(api.kova_flow_pipe_cfg_destroy(p.pipe_cfg));
	if (p.pipe != nullptr)
		api.kova_flow_pipe_destroy(p.pipe);
	p.pipe_cfg = nullptr;
	p.pipe = nullptr;
	p.entry = nullptr;
}

void close_port(const dl::kova_flow_api &api, port_state &p) noexcept
{
	drop_pipe(api, p);
	if (p.port != nullptr) {
		if (kova_error const err = api.kova_flow_port_stop(p.port))
			std::fprintf(stderr, "Failed to stop kova flow port: %s\n", kova_error_get_name(err));
	}
	if (p.port_cfg != nullptr)
		static_cast<void>(api.kova_flow_port_cfg_destroy(p.port_cfg));
	p.port = nullptr;
	p.port_cfg = nullptr;
}

void open_port(const dl::kova_flow_api &api, port_state &p, kova_dev *dev, uint16_t port_id)
{
	if (kova_error const err = api.kova_flow_port_cfg_create(&p.port_cfg))
		KOVA_THROW(err, "Failed to create kova_flow_port_cfg");
	std::string const devargs = std::to_string(port_id);
	if (kova_error const err = api.kova_flow_port_cfg_set_devargs(p.port_cfg, devargs.c_str()))
		KOVA_THROW(err, "Failed to set kova_flow_port_cfg devargs");
	if (kova_error const err = api.kova_flow_port_cfg_set_port_id(p.port_cfg, port_id))
		KOVA_THROW(err, "Failed to set kova_flow_port_cfg port_id");
	if (kova_error const err = api.kova_flow_port_cfg_set_dev(p.port_cfg, dev))
		KOVA_THROW(err, "Failed to set kova_flow_cfg dev");
	if (kova_error const err = api.kova_flow_port_start(p.port_cfg, &p.port))
		KOVA_THROW(err, "Failed to start kova flow");
}

// A root pipe whose one entry matches every packet and forwards it to the port's queues.
void build_pipe(const dl::kova_flow_api &api, port_state &p)
{
	p.match = kova_flow_match{};
	p.fwd = kova_flow_fwd{};
	p.fwd.type = KOVA_FLOW_FWD_RSS;
	p.fwd.target.rss.rss_type = KOVA_FLOW_RSS_QUEUES;
	p.fwd.rss_queues = p.queues.data();
	p.fwd.num_of_queues = static_cast<uint32_t>(p.queues.size());
	p.miss = kova_flow_fwd{};
	p.miss.type = KOVA_FLOW_FWD_DROP;
	p.actions = kova_flow_actions{};
	p.actions_list[0] = &p.actions;
	if (kova_error const err = api.kova_flow_pipe_cfg_create(&p.pipe_cfg, p.port))
		KOVA_THROW(err, "Failed to create kova_flow_pipe_cfg");
	if (kova_error const err = api.kova_flow_pipe_cfg_set_name(p.pipe_cfg, "ROOT_PIPE"))
		KOVA_THROW(err, "Failed to set kova_flow_pipe_cfg name");
	if (kova_error const err = api.kova_flow_pipe_cfg_set_type(p.pipe_cfg, KOVA_FLOW_PIPE_BASIC))
		KOVA_THROW(err, "Failed to set kova_flow_pipe_cfg type");
	if (kova_error const err = api.kova_flow_pipe_cfg_set_is_root(p.pipe_cfg, 1))
		KOVA_THROW(err, "Failed to set kova_flow_pipe_cfg is_root");
	if (kova_error const err = api.kova_flow_pipe_cfg_set_match_v1(p.pipe_cfg, &p.match, nullptr))
		KOVA_THROW(err, "Failed to set kova_flow_pipe_cfg match");
	if (kova_error const err =
		    api.kova_flow_pipe_cfg_set_actions_v1(p.pipe_cfg, p.actions_list.data(), nullptr, nullptr, 1))
		KOVA_THROW(err, "Failed to set kova_flow_pipe_cfg actions");
	if (kova_error const err = api.kova_flow_pipe_create_v1(p.pipe_cfg, &p.fwd, &p.miss, &p.pipe))
		KOVA_THROW(err, "Failed to create KOVA Flow pipe");
	if (kova_error const err =
		    api.kova_flow_pipe_add_entry_v1(0, p.pipe, &p.match, &p.actions, nullptr, nullptr, 0, nullptr, &p.entry))
		KOVA_THROW(err, "Failed to add KOVA Flow entry");
	if (kova_error const err = api.kova_flow_entries_process(p.port, 0, 10000, 4))
		KOVA_THROW(err, "Failed to process KOVA Flow entry");
}

// Replaces the port's pipe by one over its current queues (none: no pipe).
void rebuild_pipe(const dl::kova_flow_api &api, port_state &p)
{
	drop_pipe(api, p);
	if (p.queues.empty())
		return;
	try {
		build_pipe(api, p);
	} catch (...) {
		drop_pipe(api, p);
		throw;
	}
}

} // namespace

namespace eth_queue_ids {

uint16_t take()
{
	id_pool &pool = ids();
	std::lock_guard const lock{pool.mutex};
	uint32_t id = first_queue_id;
	for (auto it = pool.used.lower_bound(first_queue_id); it != pool.used.end() && *it == id; ++it)
		++id;
	if (id > UINT16_MAX)
		KOVA_THROW(KOVA_ERROR_NO_MEMORY, "No receive queue id left");
	pool.used.insert(static_cast<uint16_t>(id));
	return static_cast<uint16_t>(id);
}

void give(uint16_t id) noexcept
{
	id_pool &pool = ids();
	std::lock_guard const lock{pool.mutex};
	pool.used.erase(id);
}

} // namespace eth_queue_ids

eth_flow_ports &eth_flow_ports::instance()
{
	static eth_flow_ports ports;
	return ports;
}

void eth_flow_ports::add_queue(kova_dev *dev, uint16_t port_id, uint16_t queue_id)
{
	const dl::kova_flow_api &api = get_flow_api_or_throw();
	flow_state &s = flows();
	std::lock_guard const lock{s.mutex};
	if (s.library_idle())
		init_library(api, s);
	auto &slot = s.ports[port_id];
	bool const new_port = !slot;
	try {
		if (new_port) {
			slot = std::make_unique<port_state>();
			open_port(api, *slot, dev, port_id);
		}
		slot->queues.push_back(queue_id);
		try {
			rebuild_pipe(api, *slot);
		} catch (...) {
			slot->queues.pop_back();
			if (!new_port) {
				try {
					rebuild_pipe(api, *slot);
				} catch (const kova::exception &restore) {
					std::fprintf(stderr, "Failed to restore the flow pipe: %s\n", restore.what());
				}
			}
			throw;
		}
	} catch (...) {
		if (new_port) {
			close_port(api, *slot);
			s.ports.erase(port_id);
		}
		if (s.library_idle())
			shut_library(api, s);
		throw;
	}
}

void eth_flow_ports::remove_queue(uint16_t port_id, uint16_t queue_id) noexcept
{
	const dl::kova_flow_api *api = nullptr;
	try {
		api = dl::kova_flow_api::singleton();
	} catch (const kova::exception &) {
	}
	if (api == nullptr)
		return;
	flow_state &s = flows();
	std::lock_guard const lock{s.mutex};
	auto const found = s.ports.find(port_id);
	if (found == s.ports.end())
		return;
	port_state &p = *found->second;
	p.queues.erase(std::remove(p.queues.begin(), p.queues.end(), queue_id), p.queues.end());
	if (p.queues.empty()) {
		close_port(*api, p);
		s.ports.erase(found);
		if (s.library_idle())
			shut_library(*api, s);
		return;
	}
	try {
		rebuild_pipe(*api, p);
	} catch (const kova::exception &e) {
		std::fprintf(stderr, "Failed to rebuild the flow pipe: %s\n", e.what());
	}
}

void eth_flow_ports::acquire_library()
{
	const dl::kova_flow_api &api = get_flow_api_or_throw();
	flow_state &s = flows();
	std::lock_guard const lock{s.mutex};
	if (s.library_idle())
		init_library(api, s);
	++s.library_users;
}

void eth_flow_ports::release_library() noexcept
{
	const dl::kova_flow_api *api = nullptr;
	try {
		api = dl::kova_flow_api::singleton();
	} catch (const kova::exception &) {
	}
	flow_state &s = flows();
	std::lock_guard const lock{s.mutex};
	if (s.library_users == 0)
		return;
	--s.library_users;
	if (api != nullptr && s.library_idle())
		shut_library(*api, s);
}

} // namespace kova::bench::utility
