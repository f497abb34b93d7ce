#include "companion/worker/factory.hpp"

#include "companion/runtime_state.hpp"
#include "companion/worker/comch_worker.hpp"
#include "companion/worker/rdma_gpu_worker.hpp"
#include "companion/worker/rdma_worker.hpp"
#include "companion/worker/eth_worker.hpp"
#include "kova_exception.hpp"

#include <vector>

namespace kova::bench::companion::worker {

namespace {

kova_dev *device_of(const runtime_state &state)
{
	auto const devices = state.get_devices();
	if (devices.empty())
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "No device is open");
	return devices[0];
}

std::unique_ptr<worker> make_rdma_recv(uint32_t id, const attribute_map &attributes, runtime_state &state)
{
	return create_rdma_recv_worker(id, attributes, device_of(state));
}

std::unique_ptr<worker> make_rdma_send(uint32_t id, const attribute_map &attributes, runtime_state &state)
{
	return create_rdma_send_worker(id, attributes, device_of(state));
}

// Only where the GPU libraries are installed.
std::unique_ptr<worker> make_rdma_gpu_send(uint32_t id, const attribute_map &attributes, runtime_state &state)
{
	if (dl::kova_tessel_api::singleton() == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_tessel library is not installed");
	return create_rdma_gpu_worker(id, attributes, device_of(state), state.get_gpu_device());
}

std::unique_ptr<worker> make_comch_consumer(uint32_t id, const attribute_map &attributes, runtime_state &state)
{
	if (dl::kova_comch_api::singleton() == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_comch library is not installed");
	return create_comch_consumer_worker(id, attributes, device_of(state), state.get_representor());
}

std::unique_ptr<worker> make_comch_producer(uint32_t id, const attribute_map &attributes, runtime_state &state)
{
	if (dl::kova_comch_api::singleton() == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_FOUND, "kova_comch library is not installed");
	return create_comch_producer_worker(id, attributes, device_of(state), state.get_representor());
}

} // namespace

utility::span<const worker_type> shipped_worker_types()
{
	// One row per type: {"<type name>", <function building it>}.
	static const std::vector<worker_type> types{
		{"rdma_recv", make_rdma_recv},
		{"rdma_send", make_rdma_send},
		{"rdma_gpu_send", make_rdma_gpu_send},
		{"comch_consumer", make_comch_consumer},
		{"comch_producer", make_comch_producer},
		{"eth_recv",
		 [](uint32_t id, const attribute_map &attributes, runtime_state &state) {
			 state.prepare_dpdk_ctx();
			 return create_eth_recv_worker(id, attributes, state.get_devices()[0], state.get_dpdk_ctx());
		 }},
		{"eth_send",
		 [](uint32_t id, const attribute_map &attributes, runtime_state &state) {
			 return create_eth_send_worker(id, attributes, state.get_devices()[0]);
		 }},
		{"eth_bidir",
		 [](uint32_t id, const attribute_map &attributes, runtime_state &state) {
			 state.prepare_dpdk_ctx();
			 return create_eth_bidir_worker(id, attributes, state.get_devices()[0], state.get_dpdk_ctx());
		 }},
	};
	return types;
}

std::unique_ptr<worker> create_worker(utility::span<const worker_type> types, const std::string &type, uint32_t id,
				      const attribute_map &attributes, runtime_state &state)
{
	for (worker_type const &row : types) {
		if (row.name == type)
			return row.create(id, attributes, state);
	}
	KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unknown worker type: \"" + type + "\"");
}

std::unique_ptr<worker> create_worker(const std::string &type, uint32_t id, const attribute_map &attributes,
				      runtime_state &state)
{
	return create_worker(shipped_worker_types(), type, id, attributes, state);
}

} // namespace kova::bench::companion::worker
