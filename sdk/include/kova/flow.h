/*
 * Flow library (libkova_flow.so.2): steering rules on a device's ports. One global configuration initialises
 * the library; a started port holds pipes, each a match, actions and a forward target, filled with entries.
 *
 * Unless noted, a function returns kova_error: 0 on success, KOVA_ERROR_INVALID_VALUE (6) for a null or
 * malformed argument, KOVA_ERROR_BAD_STATE (18) when called in the wrong order, and
 * KOVA_ERROR_NOT_SUPPORTED (4) when the device cannot do it. Out-parameters are written only on success.
 * The library is process-wide: kova_flow_init_v1 once, kova_flow_destroy after the last port stopped.
 */
#ifndef KOVA_FLOW_H
#define KOVA_FLOW_H

#include <kova/error.h>
#include <kova/types.h>

typedef struct kova_flow_cfg kova_flow_cfg;
typedef struct kova_flow_port_cfg kova_flow_port_cfg;
typedef struct kova_flow_port kova_flow_port;
typedef struct kova_flow_pipe_cfg kova_flow_pipe_cfg;
typedef struct kova_flow_pipe kova_flow_pipe;
typedef struct kova_flow_pipe_entry kova_flow_pipe_entry;
/* Monitor (counters, meters) and action descriptors; only handed through here. */
struct kova_flow_monitor;
struct kova_flow_action_descs;

/* Where matching packets go. */
enum kova_flow_fwd_type {
	KOVA_FLOW_FWD_NONE = 0,
	KOVA_FLOW_FWD_RSS = 1,  /* spread over the listed receive queues */
	KOVA_FLOW_FWD_PORT = 2,
	KOVA_FLOW_FWD_PIPE = 3,
	KOVA_FLOW_FWD_DROP = 4,
};

/* How an RSS forward picks one of its queues. */
enum kova_flow_rss_type {
	KOVA_FLOW_RSS_HASH = 1,       /* by a hash of the packet's addresses and ports */
	KOVA_FLOW_RSS_QUEUE_LIST = 2, /* the listed queues, in turn */
};

enum kova_flow_pipe_type {
	KOVA_FLOW_PIPE_BASIC = 0,
	KOVA_FLOW_PIPE_CONTROL = 1,
};

/* A forward target (40 bytes). */
struct kova_flow_fwd {
	uint32_t type;         /* enum kova_flow_fwd_type */
	uint32_t reserved0;
	uint32_t rss_type;     /* enum kova_flow_rss_type, for KOVA_FLOW_FWD_RSS */
	uint32_t reserved1;
	uint64_t target;       /* port id (KOVA_FLOW_FWD_PORT) or pipe (KOVA_FLOW_FWD_PIPE, as an address) */
	const uint16_t *rss_queues;
	uint32_t num_of_queues;
	uint32_t reserved2;
};

/* The fields a packet is matched on (536 bytes); a field left zero matches everything. */
struct kova_flow_match {
	uint8_t fields[536];
};

/* What is done to a matching packet before it is forwarded (1024 bytes); all zero changes nothing. */
struct kova_flow_actions {
	uint8_t fields[1024];
};

/* Global configuration and initialisation. */
KOVA_EXPORT kova_error kova_flow_cfg_create(kova_flow_cfg **cfg);
KOVA_EXPORT kova_error kova_flow_cfg_destroy(kova_flow_cfg *cfg);
KOVA_EXPORT kova_error kova_flow_cfg_set_pipe_queues(kova_flow_cfg *cfg, uint16_t pipe_queues);
/* Comma-separated mode words, such as "vnf,hws,isolated". */
KOVA_EXPORT kova_error kova_flow_cfg_set_mode_args(kova_flow_cfg *cfg, const char *mode_args);
KOVA_EXPORT kova_error kova_flow_cfg_set_nr_counters(kova_flow_cfg *cfg, uint32_t nr_counters);
KOVA_EXPORT kova_error kova_flow_init_v1(const kova_flow_cfg *cfg);
KOVA_EXPORT void kova_flow_destroy(void);

/* Ports: a configuration names the device and its DPDK port; start gives the port. */
KOVA_EXPORT kova_error kova_flow_port_cfg_create(kova_flow_port_cfg **cfg);
KOVA_EXPORT kova_error kova_flow_port_cfg_destroy(kova_flow_port_cfg *cfg);
KOVA_EXPORT kova_error kova_flow_port_cfg_set_devargs(kova_flow_port_cfg *cfg, const char *devargs);
KOVA_EXPORT kova_error kova_flow_port_cfg_set_dev(kova_flow_port_cfg *cfg, kova_dev *dev);
KOVA_EXPORT kova_error kova_flow_port_cfg_set_port_id(kova_flow_port_cfg *cfg, uint16_t port_id);
KOVA_EXPORT kova_error kova_flow_port_start(const kova_flow_port_cfg *cfg, kova_flow_port **port);
KOVA_EXPORT kova_error kova_flow_port_stop(kova_flow_port *port);
/* Pushes up to max_entries queued entry operations of pipe_queue to the hardware, waiting at most timeout_us. */
KOVA_EXPORT kova_error kova_flow_entries_process(kova_flow_port *port, uint16_t pipe_queue, uint64_t timeout_us,
						 uint32_t max_entries);

/* Pipe configuration. */
KOVA_EXPORT kova_error kova_flow_pipe_cfg_create(kova_flow_pipe_cfg **cfg, kova_flow_port *port);
KOVA_EXPORT kova_error kova_flow_pipe_cfg_destroy(kova_flow_pipe_cfg *cfg);
KOVA_EXPORT kova_error kova_flow_pipe_cfg_set_name(kova_flow_pipe_cfg *cfg, const char *name);
/* type is one of enum kova_flow_pipe_type. */
KOVA_EXPORT kova_error kova_flow_pipe_cfg_set_type(kova_flow_pipe_cfg *cfg, uint32_t type);
KOVA_EXPORT kova_error kova_flow_pipe_cfg_set_is_root(kova_flow_pipe_cfg *cfg, uint8_t is_root);
/* A null mask takes the match itself as its mask. */
KOVA_EXPORT kova_error kova_flow_pipe_cfg_set_match_v1(kova_flow_pipe_cfg *cfg, const struct kova_flow_match *match,
						       const struct kova_flow_match *match_mask);
KOVA_EXPORT kova_error kova_flow_pipe_cfg_set_monitor_v1(kova_flow_pipe_cfg *cfg,
							 const struct kova_flow_monitor *monitor);

/* Pipes and entries. fwd_miss is where packets that match no entry go (null: dropped). */
KOVA_EXPORT kova_error kova_flow_pipe_create_v1(const kova_flow_pipe_cfg *cfg, const struct kova_flow_fwd *fwd,
						const struct kova_flow_fwd *fwd_miss, kova_flow_pipe **pipe);
KOVA_EXPORT void kova_flow_pipe_destroy(kova_flow_pipe *pipe);
KOVA_EXPORT kova_error kova_flow_pipe_control_add_entry_v1(
	uint16_t pipe_queue, uint32_t priority, kova_flow_pipe *pipe, const struct kova_flow_match *match,
	const struct kova_flow_match *match_mask, const struct kova_flow_actions *actions,
	const struct kova_flow_actions *actions_mask, const struct kova_flow_action_descs *action_descs,
	const struct kova_flow_monitor *monitor, const struct kova_flow_fwd *fwd, void *user_ctx,
	kova_flow_pipe_entry **entry);
KOVA_EXPORT kova_error kova_flow_pipe_add_entry_v1(uint16_t pipe_queue, kova_flow_pipe *pipe,
						   const struct kova_flow_match *match,
						   const struct kova_flow_actions *actions,
						   const struct kova_flow_monitor *monitor,
						   const struct kova_flow_fwd *fwd, uint32_t flags, void *user_ctx,
						   kova_flow_pipe_entry **entry);
/* The pipe's action templates: nr_actions entries in each non-null array. */
KOVA_EXPORT kova_error kova_flow_pipe_cfg_set_actions_v1(kova_flow_pipe_cfg *cfg,
							 struct kova_flow_actions *const *actions,
							 struct kova_flow_actions *const *actions_masks,
							 struct kova_flow_action_descs *const *action_descs,
							 size_t nr_actions);

#endif
