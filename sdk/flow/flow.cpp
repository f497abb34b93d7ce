// Flow library: steering rules in software. A started port belongs to one device's network
// interface; its pipes and entries are compiled into the interface's rule set after every change,
// and the Ethernet library's receive queues follow that rule set frame by frame.
#include <kova_internal/capability.hpp>
#include <kova_internal/eth_port.hpp>
#include <kova_internal/sdk_log.hpp>

#include <kova/dev.h>
#include <kova/error.h>
#include <kova/flow.h>

#include <net/if.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

using kova::sdk::control_call;
namespace eth = kova::sdk::eth;

static_assert(sizeof(kova_flow_fwd) == 40 && offsetof(kova_flow_fwd, target) == 8 &&
		      offsetof(kova_flow_fwd, rss_queues) == 24 && offsetof(kova_flow_fwd, num_of_queues) == 32,
	      "forward record layout");
static_assert(sizeof(kova_flow_match) == 536 && offsetof(kova_flow_match, parser_outer_l3_type) == 56 &&
		      offsetof(kova_flow_match, outer_eth_type) == 100 && offsetof(kova_flow_match, outer_l3_type) == 108 &&
		      offsetof(kova_flow_match, outer_ip4_next_proto) == 128,
	      "match record layout");
static_assert(sizeof(kova_flow_actions) == 1024, "actions record layout");

struct kova_flow_cfg {
	uint16_t pipe_queues = 1;
	std::string mode_args;
	uint32_t nr_counters = 0;
};

struct kova_flow_port_cfg {
	std::string devargs;
	uint16_t port_id = 0;
	kova_dev *dev = nullptr;
};

struct kova_flow_pipe_entry {
	eth::rule_entry rule;
	uint32_t priority = 0;
};

struct kova_flow_pipe_cfg {
	kova_flow_port *port = nullptr;
	std::string name;
	uint32_t type = KOVA_FLOW_PIPE_BASIC;
	bool is_root = false;
	kova_flow_match match{};
};

struct kova_flow_pipe {
	kova_flow_port *port = nullptr;
	kova_flow_pipe_cfg cfg;
	const kova_flow_pipe *fwd_pipe = nullptr;  // KOVA_FLOW_FWD_PIPE targets, resolved when compiled
	const kova_flow_pipe *miss_pipe = nullptr;
	eth::forward fwd;
	eth::forward miss;
	std::vector<std::unique_ptr<kova_flow_pipe_entry>> entries;
	std::vector<const kova_flow_pipe *> entry_pipes; // per entry: its KOVA_FLOW_FWD_PIPE target
};

struct kova_flow_port {
	uint16_t port_id = 0;
	eth::iface *iface = nullptr;
	std::string iface_name;
	std::vector<std::unique_ptr<kova_flow_pipe>> pipes;
};

namespace {

struct library_state {
	std::mutex mutex;
	bool initialized = false;
	uint16_t pipe_queues = 1;
	std::vector<kova_flow_port *> ports;
};

library_state &state()
{
	static library_state instance;
	return instance;
}

// Converts a forward record; KOVA_ERROR_INVALID_VALUE for a malformed one, KOVA_ERROR_NOT_SUPPORTED for a kind
// the device cannot do.
kova_error read_forward(const kova_flow_port *port, const kova_flow_fwd *fwd, eth::forward &out,
			const kova_flow_pipe *&next)
{
	out = eth::forward{};
	next = nullptr;
	if (fwd == nullptr)
		return KOVA_SUCCESS;
	out.type = fwd->type;
	switch (fwd->type) {
	case KOVA_FLOW_FWD_NONE:
	case KOVA_FLOW_FWD_DROP:
		return KOVA_SUCCESS;
	case KOVA_FLOW_FWD_RSS:
		if (fwd->target.rss.rss_type != KOVA_FLOW_RSS_QUEUES || fwd->rss_queues == nullptr || fwd->num_of_queues == 0)
			return KOVA_ERROR_INVALID_VALUE;
		out.hash_fields = fwd->target.rss.rss_hash_fields;
		out.queues.assign(fwd->rss_queues, fwd->rss_queues + fwd->num_of_queues);
		return KOVA_SUCCESS;
	case KOVA_FLOW_FWD_PIPE: {
		auto const owned = std::find_if(port->pipes.begin(), port->pipes.end(),
						[&](auto const &pipe) { return pipe.get() == fwd->target.next_pipe; });
		if (owned == port->pipes.end())
			return KOVA_ERROR_INVALID_VALUE;
		next = fwd->target.next_pipe;
		return KOVA_SUCCESS;
	}
	case KOVA_FLOW_FWD_PORT:
		return KOVA_ERROR_NOT_SUPPORTED;
	default:
		return KOVA_ERROR_INVALID_VALUE;
	}
}

int32_t index_of(const kova_flow_port *port, const kova_flow_pipe *pipe)
{
	for (std::size_t i = 0; i < port->pipes.size(); ++i) {
		if (port->pipes[i].get() == pipe)
			return static_cast<int32_t>(i);
	}
	return -1;
}

// A forward to a pipe that is gone drops as a miss.
eth::forward resolved(const kova_flow_port *port, const eth::forward &fwd, const kova_flow_pipe *next)
{
	eth::forward out = fwd;
	if (out.type == KOVA_FLOW_FWD_PIPE) {
		out.pipe = index_of(port, next);
		if (out.pipe < 0)
			out.type = KOVA_FLOW_FWD_NONE;
	}
	return out;
}

// Compiles the port's pipes and hands them to its interface. Caller holds the library's mutex.
void publish(kova_flow_port *port)
{
	auto rules = std::make_shared<eth::rule_set>();
	for (auto const &pipe : port->pipes) {
		eth::rule_pipe compiled;
		compiled.match = pipe->cfg.match;
		compiled.fwd = resolved(port, pipe->fwd, pipe->fwd_pipe);
		compiled.miss = resolved(port, pipe->miss, pipe->miss_pipe);
		std::vector<std::size_t> order(pipe->entries.size());
		for (std::size_t i = 0; i < order.size(); ++i)
			order[i] = i;
		std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
			return pipe->entries[a]->priority < pipe->entries[b]->priority;
		});
		for (std::size_t const i : order) {
			eth::rule_entry entry = pipe->entries[i]->rule;
			entry.fwd = resolved(port, entry.fwd, pipe->entry_pipes[i]);
			compiled.entries.push_back(std::move(entry));
		}
		if (pipe->cfg.is_root)
			rules->root = static_cast<int32_t>(rules->pipes.size());
		rules->pipes.push_back(std::move(compiled));
	}
	eth::iface_set_rules(port->iface, std::move(rules));
}

kova_error add_entry(uint16_t pipe_queue, uint32_t priority, kova_flow_pipe *pipe, const kova_flow_match *match,
		     const kova_flow_fwd *fwd, kova_flow_pipe_entry **entry)
{
	if (pipe == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	library_state &s = state();
	std::lock_guard const lock{s.mutex};
	if (pipe_queue >= s.pipe_queues)
		return KOVA_ERROR_INVALID_VALUE;
	try {
		auto made = std::make_unique<kova_flow_pipe_entry>();
		if (match != nullptr)
			made->rule.match = *match;
		made->priority = priority;
		const kova_flow_pipe *next = nullptr;
		if (kova_error const err = read_forward(pipe->port, fwd, made->rule.fwd, next))
			return err;
		made->rule.has_forward = fwd != nullptr && fwd->type != KOVA_FLOW_FWD_NONE;
		kova_flow_pipe_entry *raw = made.get();
		pipe->entries.push_back(std::move(made));
		pipe->entry_pipes.push_back(next);
		publish(pipe->port);
		if (entry != nullptr)
			*entry = raw;
	} catch (const std::bad_alloc &) {
		return KOVA_ERROR_NO_MEMORY;
	}
	return KOVA_SUCCESS;
}

template <typename Object>
kova_error create_object(Object **out)
{
	if (out == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	auto *made = new (std::nothrow) Object{};
	if (made == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	*out = made;
	return KOVA_SUCCESS;
}

} // namespace

KOVA_EXPORT kova_error kova_flow_cfg_create(kova_flow_cfg **cfg)
{
	if (kova_error const forced = control_call("kova_flow_cfg_create"))
		return forced;
	return create_object(cfg);
}

KOVA_EXPORT kova_error kova_flow_cfg_destroy(kova_flow_cfg *cfg)
{
	if (cfg == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	(void)control_call("kova_flow_cfg_destroy");
	delete cfg;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_cfg_set_pipe_queues(kova_flow_cfg *cfg, uint16_t pipe_queues)
{
	if (cfg == nullptr || pipe_queues == 0)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_cfg_set_pipe_queues", true, pipe_queues))
		return forced;
	cfg->pipe_queues = pipe_queues;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_cfg_set_mode_args(kova_flow_cfg *cfg, const char *mode_args)
{
	if (cfg == nullptr || mode_args == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_cfg_set_mode_args"))
		return forced;
	cfg->mode_args = mode_args;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_cfg_set_nr_counters(kova_flow_cfg *cfg, uint32_t nr_counters)
{
	if (cfg == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_cfg_set_nr_counters", true, nr_counters))
		return forced;
	cfg->nr_counters = nr_counters;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_init_v1(const kova_flow_cfg *cfg)
{
	if (cfg == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_init_v1"))
		return forced;
	library_state &s = state();
	std::lock_guard const lock{s.mutex};
	if (s.initialized)
		return KOVA_ERROR_BAD_STATE;
	s.initialized = true;
	s.pipe_queues = cfg->pipe_queues;
	return KOVA_SUCCESS;
}

KOVA_EXPORT void kova_flow_destroy(void)
{
	(void)control_call("kova_flow_destroy");
	library_state &s = state();
	std::lock_guard const lock{s.mutex};
	if (!s.ports.empty())
		kova::sdk::log(KOVA_LOG_LEVEL_WARNING, "kova_flow_destroy: %zu ports are still started", s.ports.size());
	s.initialized = false;
}

KOVA_EXPORT kova_error kova_flow_port_cfg_create(kova_flow_port_cfg **cfg)
{
	if (kova_error const forced = control_call("kova_flow_port_cfg_create"))
		return forced;
	return create_object(cfg);
}

KOVA_EXPORT kova_error kova_flow_port_cfg_destroy(kova_flow_port_cfg *cfg)
{
	if (cfg == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	(void)control_call("kova_flow_port_cfg_destroy");
	delete cfg;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_port_cfg_set_devargs(kova_flow_port_cfg *cfg, const char *devargs)
{
	if (cfg == nullptr || devargs == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_port_cfg_set_devargs"))
		return forced;
	cfg->devargs = devargs;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_port_cfg_set_dev(kova_flow_port_cfg *cfg, kova_dev *dev)
{
	if (cfg == nullptr || dev == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_port_cfg_set_dev"))
		return forced;
	cfg->dev = dev;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_port_cfg_set_port_id(kova_flow_port_cfg *cfg, uint16_t port_id)
{
	if (cfg == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_port_cfg_set_port_id", true, port_id))
		return forced;
	cfg->port_id = port_id;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_port_start(const kova_flow_port_cfg *cfg, kova_flow_port **port)
{
	if (cfg == nullptr || port == nullptr || cfg->dev == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_port_start", true, cfg->port_id))
		return forced;
	char name[KOVA_DEVINFO_NAME_SIZE] = {};
	if (kova_devinfo_get_iface_name(kova_dev_as_devinfo(cfg->dev), name, sizeof(name)) != KOVA_SUCCESS ||
	    ::if_nametoindex(name) == 0) {
		kova::sdk::log(KOVA_LOG_LEVEL_ERROR, "kova_flow: network interface \"%s\" does not exist", name);
		return KOVA_ERROR_NOT_FOUND;
	}
	library_state &s = state();
	std::lock_guard const lock{s.mutex};
	if (!s.initialized)
		return KOVA_ERROR_BAD_STATE;
	for (kova_flow_port const *started : s.ports) {
		if (started->iface_name == name || started->port_id == cfg->port_id)
			return KOVA_ERROR_ALREADY_EXIST;
	}
	try {
		auto made = std::make_unique<kova_flow_port>();
		made->port_id = cfg->port_id;
		made->iface_name = name;
		made->iface = eth::iface_get(name);
		s.ports.push_back(made.get());
		publish(made.get());
		*port = made.release();
	} catch (const std::bad_alloc &) {
		return KOVA_ERROR_NO_MEMORY;
	}
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_port_stop(kova_flow_port *port)
{
	if (port == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_port_stop", true, port->port_id))
		return forced;
	library_state &s = state();
	std::lock_guard const lock{s.mutex};
	s.ports.erase(std::remove(s.ports.begin(), s.ports.end(), port), s.ports.end());
	eth::iface_set_rules(port->iface, nullptr);
	delete port;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_entries_process(kova_flow_port *port, uint16_t pipe_queue, uint64_t /*timeout_us*/,
						 uint32_t /*max_entries*/)
{
	if (port == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_entries_process", true, pipe_queue))
		return forced;
	library_state &s = state();
	std::lock_guard const lock{s.mutex};
	// Entries take effect when added; nothing is queued.
	return pipe_queue < s.pipe_queues ? kova_error{KOVA_SUCCESS} : kova_error{KOVA_ERROR_INVALID_VALUE};
}

KOVA_EXPORT kova_error kova_flow_pipe_cfg_create(kova_flow_pipe_cfg **cfg, kova_flow_port *port)
{
	if (cfg == nullptr || port == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_pipe_cfg_create"))
		return forced;
	if (kova_error const err = create_object(cfg))
		return err;
	(*cfg)->port = port;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_pipe_cfg_destroy(kova_flow_pipe_cfg *cfg)
{
	if (cfg == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	(void)control_call("kova_flow_pipe_cfg_destroy");
	delete cfg;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_pipe_cfg_set_name(kova_flow_pipe_cfg *cfg, const char *name)
{
	if (cfg == nullptr || name == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_pipe_cfg_set_name"))
		return forced;
	cfg->name = name;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_pipe_cfg_set_type(kova_flow_pipe_cfg *cfg, uint32_t type)
{
	if (cfg == nullptr || type > KOVA_FLOW_PIPE_CONTROL)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_pipe_cfg_set_type", true, type))
		return forced;
	cfg->type = type;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_pipe_cfg_set_is_root(kova_flow_pipe_cfg *cfg, uint8_t is_root)
{
	if (cfg == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_pipe_cfg_set_is_root", true, is_root))
		return forced;
	cfg->is_root = is_root != 0;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_pipe_cfg_set_match_v1(kova_flow_pipe_cfg *cfg, const struct kova_flow_match *match,
						       const struct kova_flow_match * /*match_mask*/)
{
	if (cfg == nullptr || match == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_pipe_cfg_set_match_v1"))
		return forced;
	cfg->match = *match;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_pipe_cfg_set_monitor_v1(kova_flow_pipe_cfg *cfg,
							 const struct kova_flow_monitor *monitor)
{
	if (cfg == nullptr || monitor == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	// Monitors (counters, meters) are accepted and not kept.
	return control_call("kova_flow_pipe_cfg_set_monitor_v1");
}

KOVA_EXPORT kova_error kova_flow_pipe_cfg_set_actions_v1(kova_flow_pipe_cfg *cfg,
							 struct kova_flow_actions *const *actions,
							 struct kova_flow_actions *const * /*actions_masks*/,
							 struct kova_flow_action_descs *const * /*action_descs*/,
							 size_t nr_actions)
{
	if (cfg == nullptr || (actions == nullptr && nr_actions != 0))
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_pipe_cfg_set_actions_v1", true, nr_actions))
		return forced;
	// Only actions that change nothing are done.
	static constexpr kova_flow_actions none{};
	for (std::size_t i = 0; i < nr_actions; ++i) {
		if (actions[i] != nullptr && std::memcmp(actions[i], &none, sizeof(none)) != 0)
			return KOVA_ERROR_NOT_SUPPORTED;
	}
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_flow_pipe_create_v1(const kova_flow_pipe_cfg *cfg, const struct kova_flow_fwd *fwd,
						const struct kova_flow_fwd *fwd_miss, kova_flow_pipe **pipe)
{
	if (cfg == nullptr || pipe == nullptr || cfg->port == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_flow_pipe_create_v1"))
		return forced;
	library_state &s = state();
	std::lock_guard const lock{s.mutex};
	kova_flow_port *port = cfg->port;
	if (cfg->is_root) {
		for (auto const &existing : port->pipes) {
			if (existing->cfg.is_root)
				return KOVA_ERROR_ALREADY_EXIST;
		}
	}
	try {
		auto made = std::make_unique<kova_flow_pipe>();
		made->port = port;
		made->cfg = *cfg;
		if (kova_error const err = read_forward(port, fwd, made->fwd, made->fwd_pipe))
			return err;
		if (kova_error const err = read_forward(port, fwd_miss, made->miss, made->miss_pipe))
			return err;
		*pipe = made.get();
		port->pipes.push_back(std::move(made));
		publish(port);
	} catch (const std::bad_alloc &) {
		return KOVA_ERROR_NO_MEMORY;
	}
	return KOVA_SUCCESS;
}

KOVA_EXPORT void kova_flow_pipe_destroy(kova_flow_pipe *pipe)
{
	if (pipe == nullptr)
		return;
	(void)control_call("kova_flow_pipe_destroy");
	library_state &s = state();
	std::lock_guard const lock{s.mutex};
	kova_flow_port *port = pipe->port;
	auto &pipes = port->pipes;
	pipes.erase(std::remove_if(pipes.begin(), pipes.end(), [&](auto const &owned) { return owned.get() == pipe; }),
		    pipes.end());
	publish(port);
}

KOVA_EXPORT kova_error kova_flow_pipe_add_entry_v1(uint16_t pipe_queue, kova_flow_pipe *pipe,
						   const struct kova_flow_match *match,
						   const struct kova_flow_actions * /*actions*/,
						   const struct kova_flow_monitor * /*monitor*/,
						   const struct kova_flow_fwd *fwd, uint32_t /*flags*/, void * /*user_ctx*/,
						   kova_flow_pipe_entry **entry)
{
	if (kova_error const forced = control_call("kova_flow_pipe_add_entry_v1", true, pipe_queue))
		return forced;
	return add_entry(pipe_queue, 0, pipe, match, fwd, entry);
}

KOVA_EXPORT kova_error kova_flow_pipe_control_add_entry_v1(
	uint16_t pipe_queue, uint32_t priority, kova_flow_pipe *pipe, const struct kova_flow_match *match,
	const struct kova_flow_match * /*match_mask*/, const struct kova_flow_actions * /*actions*/,
	const struct kova_flow_actions * /*actions_mask*/, const struct kova_flow_action_descs * /*action_descs*/,
	const struct kova_flow_monitor * /*monitor*/, const struct kova_flow_fwd *fwd, void * /*user_ctx*/,
	kova_flow_pipe_entry **entry)
{
	if (kova_error const forced = control_call("kova_flow_pipe_control_add_entry_v1", true, priority))
		return forced;
	return add_entry(pipe_queue, priority, pipe, match, fwd, entry);
}
