// The cold part of a worker thread's state: everything the per-job path does not touch.
#pragma once

#include "configuration.hpp"
#include "impl/event_handle.hpp"
#include "impl/shared_thread_control_block.hpp"
#include "impl/task_pool.hpp"
#include "impl/task_wrapper.hpp"
#include "impl/thread_data.hpp"
#include "kova_delegated_deleter.hpp"
#include "stats/permutation_stats.hpp"
#include "step/object.hpp"
#include "utility/kova_utils.hpp"
#include "utility/pipeline_info.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace kova::bench::impl {

struct thread_data::cold {
	cold(uint32_t thread_index_, uint32_t core_id_, uint32_t pipeline_index_, const utility::pipeline_info &info,
	     std::shared_ptr<shared_thread_control_block> control_block_, kova_dev *dev)
		: thread_index{thread_index_},
		  core_id{core_id_},
		  pipeline_index{pipeline_index_},
		  warm_up_job_count{info.warm_up_job_count},
		  batch_mode{info.batch_mode},
		  batch_size{info.batch_size},
		  pe{utility::make_pe()},
		  pool{info, dev},
		  first_wrappers(info.jobs.size(), nullptr),
		  control_block{std::move(control_block_)}
	{
		stats.thread_index = thread_index;
		stats.core_id = core_id;
		stats.pipeline_index = static_cast<uint16_t>(pipeline_index);
		for (auto const &job : info.jobs)
			stats.max_output_buffer_size = std::max(stats.max_output_buffer_size, job.output_size);
		stats.step.latency_histogram[step_stats::histogram_lower_bound_cell] = info.latency_lower_bound_ns;
		stats.step.latency_histogram[step_stats::histogram_bucket_width_cell] = info.latency_bucket_width_ns;
	}

	cold(const cold &) = delete;
	cold &operator=(const cold &) = delete;

	~cold()
	{
		event.reset();
		control_block.reset();
		// Steps go in pipeline order, each stopping its own context, before the buffers their
		// tasks use and the engine they are connected to.
		for (auto &step : steps)
			step.reset();
		utility::forget_stalled_engine(pe.get());
		if (utility::engine_holds_left_objects(pe.get())) {
			// A step left its context, with tasks in flight, to the device: the engine it is
			// connected to and the job memory those tasks use stay with it.
			utility::leave_to_device(pe.get(), new (std::nothrow) task_pool(std::move(pool)));
			utility::leave_to_device(pe.get(), pe.release());
		}
	}

	uint32_t thread_index;
	uint32_t core_id;
	uint32_t pipeline_index;
	uint32_t warm_up_job_count;
	configuration::batch_mode batch_mode;
	uint32_t batch_size;
	thread_stats stats;
	// What a GPU step's gather_stats writes into before the counters are published.
	thread_stats gather_scratch;
	std::unique_ptr<kova_pe, kova::delegated_deleter<kova_pe>> pe;
	task_pool pool;
	std::vector<std::unique_ptr<step::object>> steps;
	std::vector<task_wrapper *> first_wrappers;
	std::shared_ptr<shared_thread_control_block> control_block;
	std::unique_ptr<event_handle> event;
	bool gpu_pipeline = false;
	bool tasks_prepared = false;
};

} // namespace kova::bench::impl
