/*
 * Flow library (libkova_flow.so.2): steering rules on a device's ports. One global configuration initialises
 * the library; a started port holds pipes, each a match, actions and a forward target, filled with entries.
 *
 * Unless noted, a function returns kova_error: 0 on success, KOVA_ERROR_INVALID_VALUE for a null or
 * malformed argument, KOVA_ERROR_BAD_STATE when called in the wrong order, and
 * KOVA_ERROR_NOT_SUPPORTED when the device cannot do it. Out-parameters are written only on success.
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
	KOVA_FLOW_FWD_RSS = 1,  /* to one of the listed receive queues */
	KOVA_FLOW_FWD_PORT = 2, /* out of another port: not supported by this device */
	KOVA_FLOW_FWD_PIPE = 3, /* on to another pipe of the same port */
	KOVA_FLOW_FWD_DROP = 4,
};

/* Which queues an RSS forward reaches. */
enum kova_flow_rss_type {
	KOVA_FLOW_RSS_QUEUES = 2, /* the listed queues, picked by a hash of the packet's addresses and ports */
};

/* Packet fields an RSS hash covers (bits of rss_hash_fields); 0 covers addresses and ports. */
enum kova_flow_rss_hash_field {
	KOVA_FLOW_RSS_HASH_IPV4 = 1,
	KOVA_FLOW_RSS_HASH_TCP = 2,
	KOVA_FLOW_RSS_HASH_UDP = 4,
};

enum kova_flow_pipe_type {
	KOVA_FLOW_PIPE_BASIC = 0,
	KOVA_FLOW_PIPE_CONTROL = 1, /* entries with priorities, each with its own forward */
};

/* A forward target (40 bytes). */
struct kova_flow_fwd {
	uint32_t type; /* 0: enum kova_flow_fwd_type */
	uint32_t reserved0;
	union {
		struct {
			uint32_t rss_type;        /* 8: enum kova_flow_rss_type */
			uint32_t reserved1;
			uint32_t rss_hash_fields; /* 16: kova_flow_rss_hash_field bits */
			uint32_t reserved2;
		} rss;
		kova_flow_pipe *next_pipe;        /* 8: KOVA_FLOW_FWD_PIPE */
		uint16_t port_id;                 /* 8: KOVA_FLOW_FWD_PORT */
	} target;
	const uint16_t *rss_queues; /* 24: KOVA_FLOW_FWD_RSS */
	uint32_t num_of_queues;     /* 32 */
	uint32_t reserved3;
};

/* Values of the type fields of a match. */
enum kova_flow_l3_type {
	KOVA_FLOW_L3_TYPE_NONE = 0,
	KOVA_FLOW_L3_TYPE_IP4 = 1,
};

/*
 * The fields a packet is matched on (536 bytes). A field left zero matches every packet; a pipe's own
 * match and each entry's match must both hold. Multi-byte header fields are in network byte order.
 */
struct kova_flow_match {
	uint8_t reserved0[56];
	uint32_t parser_outer_l3_type; /* 56: enum kova_flow_l3_type, as the parser found it */
	uint8_t reserved1[28];
	uint8_t outer_eth_dst[6];      /* 88 */
	uint8_t outer_eth_src[6];      /* 94 */
	uint16_t outer_eth_type;       /* 100 */
	uint8_t reserved2[6];
	uint32_t outer_l3_type;        /* 108: enum kova_flow_l3_type */
	uint32_t outer_ip4_src;        /* 112 */
	uint32_t outer_ip4_dst;        /* 116 */
	uint8_t reserved3[8];
	uint8_t outer_ip4_next_proto;  /* 128 */
	uint8_t reserved4[11];
	uint16_t outer_l4_src_port;    /* 140: TCP or UDP */
	uint16_t outer_l4_dst_port;    /* 142 */
	uint8_t reserved5[392];
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
