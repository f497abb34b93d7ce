// Runs every job of every pipeline once through the pipeline's data-transforming steps, one
// unpinned thread per pipeline, to learn how large each job's output grows. The permutation launch
// sizes its buffers from the result when no job output buffer size is configured.
#pragma once

#include "configuration.hpp"
#include "kova_exception.hpp"
#include "utility/pipeline_info.hpp"

#include <memory>
#include <vector>

namespace kova::bench {
class data_provider;
class runtime_state;
} // namespace kova::bench

namespace kova::bench::impl {

class pipeline_trial {
public:
	// Builds one pipeline description per configured pipeline and starts one trial thread each;
	// returns while they run. Step attributes merge the fixed configuration's, then the
	// permutation's, then the step's own. An exception while building a later thread stops and
	// joins the threads already started before it leaves; a thread that cannot be started is
	// such an exception. The state and the provider must outlive the trial.
	pipeline_trial(const fixed_configuration &fixed, const dynamic_configuration &permutation, runtime_state &state,
		       const data_provider *provider);
	pipeline_trial(pipeline_trial &&other) noexcept;
	pipeline_trial &operator=(pipeline_trial &&other) noexcept;
	pipeline_trial(const pipeline_trial &) = delete;
	pipeline_trial &operator=(const pipeline_trial &) = delete;
	// Asks the threads to stop, waits for them and releases every step, engine and map.
	~pipeline_trial();

	// True while at least one trial thread is still running.
	[[nodiscard]] bool progress_trial() const;

	// The first error a trial thread kept, in pipeline order, or null. Read once progress_trial()
	// returned false.
	[[nodiscard]] const kova::exception *get_error() const;

	// The permutation's pipeline descriptions: the trial's, with the permutation's task pool size,
	// MTU size, queue depths and gather and scatter settings, and every step's job output buffer
	// size set to the largest job size or job output size of its pipeline. Read once
	// progress_trial() returned false.
	[[nodiscard]] std::vector<utility::pipeline_info> get_computed_configs(const dynamic_configuration &permutation) const;

	class impl;

private:
	std::unique_ptr<impl> m_impl;
};

} // namespace kova::bench::impl
