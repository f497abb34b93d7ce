// Function table of the flow library (libkova_flow.so.2).
#pragma once

#include "dl/impl/api_table.hpp"

#include <kova/flow.h>

#include <memory>
#include <string>

// The functions of the table, in table order.
#define KOVA_FLOW_API_FUNCTIONS(X) \
	X(kova_flow_cfg_create) \
	X(kova_flow_cfg_destroy) \
	X(kova_flow_cfg_set_pipe_queues) \
	X(kova_flow_cfg_set_mode_args) \
	X(kova_flow_cfg_set_nr_counters) \
	X(kova_flow_init_v1) \
	X(kova_flow_destroy) \
	X(kova_flow_port_cfg_create) \
	X(kova_flow_port_cfg_destroy) \
	X(kova_flow_port_cfg_set_devargs) \
	X(kova_flow_port_cfg_set_dev) \
	X(kova_flow_port_cfg_set_port_id) \
	X(kova_flow_port_start) \
	X(kova_flow_port_stop) \
	X(kova_flow_entries_process) \
	X(kova_flow_pipe_cfg_create) \
	X(kova_flow_pipe_cfg_destroy) \
	X(kova_flow_pipe_cfg_set_name) \
	X(kova_flow_pipe_cfg_set_type) \
	X(kova_flow_pipe_cfg_set_is_root) \
	X(kova_flow_pipe_cfg_set_match_v1) \
	X(kova_flow_pipe_cfg_set_monitor_v1) \
	X(kova_flow_pipe_create_v1) \
	X(kova_flow_pipe_destroy) \
	X(kova_flow_pipe_control_add_entry_v1) \
	X(kova_flow_pipe_add_entry_v1) \
	X(kova_flow_pipe_cfg_set_actions_v1)

namespace kova::bench::dl {

struct kova_flow_api {
	std::shared_ptr<handle_impl> handle;
	std::string path;
	KOVA_FLOW_API_FUNCTIONS(KOVA_DL_FUNCTION)

	// The process-wide table, or null when libkova_flow.so.2 is not installed (decided once per process).
	// Throws KOVA_ERROR_INVALID_VALUE naming the first listed function the library lacks; the next call tries
	// again.
	static const kova_flow_api *singleton();
};

} // namespace kova::bench::dl
