// The parts of a pipeline description that the permutation launch and the pipeline trial build
// alike.
#pragma once

#include "configuration.hpp"
#include "step/object.hpp"
#include "utility/pipeline_info.hpp"

namespace kova::bench::impl {

// A description with the pipeline's own settings (latency buckets, remote-buffer flags) and the
// fixed configuration's (run limits, mode, warm-up, blocking and batch modes); no jobs, no steps.
utility::pipeline_info make_pipeline_info(const fixed_configuration &fixed,
					  const configuration::pipeline_configuration &pipeline);

// A step's settings with only its attribute map filled: the fixed configuration's attributes,
// overridden by the permutation's, overridden by the step's own, file names resolved against the
// input and output directories.
step::object::attributes make_step_attributes(const fixed_configuration &fixed,
					      const dynamic_configuration &permutation,
					      const configuration::pipeline_configuration::step_definition &step);

} // namespace kova::bench::impl
