// Starting kova_bench_companion on the peer over ssh.
#pragma once

namespace kova::bench::companion::remote_control {

// A companion started over ssh; destroying it waits for the companion to end
// and stops it when it does not.
class remote_companion {
public:
	virtual ~remote_companion() = default;
};

} // namespace kova::bench::companion::remote_control
