#include "step/factory.hpp"

#include "kova_exception.hpp"
#include "runtime_state.hpp"
#include "step/kova_aes_gcm_decrypt_step.hpp"
#include "step/kova_aes_gcm_encrypt_step.hpp"
#include "step/kova_aes_gcm_metadata.hpp"
#include "step/kova_comch_step.hpp"
#include "step/kova_compress_compress_step.hpp"
#include "step/kova_compress_decompress_step.hpp"
#include "step/kova_compress_metadata.hpp"
#include "step/kova_dma_metadata.hpp"
#include "step/kova_dma_step.hpp"
#include "step/kova_rdma_step.hpp"
#include "step/kova_ec_create_step.hpp"
#include "step/kova_ec_metadata.hpp"
#include "step/kova_ec_recover_step.hpp"
#include "step/kova_ec_update_step.hpp"
#include "step/kova_eth_step.hpp"
#include "step/kova_sha_metadata.hpp"
#include "step/kova_sha_step.hpp"
#include "step/kova_tessel_eth_step.hpp"
#include "step/kova_tessel_step.hpp"

#include <kova/dev.h>
#include <kova/error.h>

#include <algorithm>
#include <array>
#include <string_view>

namespace kova::bench::step::factory {
namespace {

using creator = std::unique_ptr<object> (*)(const object::attributes &, runtime_state &, kova_pe *,
					    completion_callback, completion_callback, kova_data);

template <typename Step>
std::unique_ptr<object> create_step_impl(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
					 completion_callback success_cb, completion_callback error_cb,
					 kova_data ctx_user_data)
{
	return std::make_unique<Step>(attributes, state, pe, success_cb, error_cb, ctx_user_data);
}

// The receive step steers its device's DPDK port, which the runtime state prepares first.
std::unique_ptr<object> create_eth_rx_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
					   completion_callback success_cb, completion_callback error_cb,
					   kova_data ctx_user_data)
{
	state.prepare_dpdk_ctx();
	return std::make_unique<kova_eth_recv_step>(attributes, state, pe, success_cb, error_cb, ctx_user_data);
}

// The GPU Ethernet steps set the device's DPDK port up themselves; without a GPU the step refuses first.
template <typename Step>
std::unique_ptr<object> create_gpu_eth_step(const object::attributes &attributes, runtime_state &state, kova_pe *pe,
					    completion_callback success_cb, completion_callback error_cb,
					    kova_data ctx_user_data)
{
	if (state.get_gpu_device() != nullptr)
		state.prepare_dpdk_ctx();
	return std::make_unique<Step>(attributes, state, pe, success_cb, error_cb, ctx_user_data);
}

struct step_entry {
	std::string_view name;
	// Null while the step's class is not part of the build.
	creator create;
};

// "kova_eth::rx" must have the runtime state prepare its DPDK context before the step is built.
constexpr std::array<step_entry, 21> step_table{{
	{"kova_aes_gcm::decrypt", &create_step_impl<kova_aes_gcm_decrypt_step>},
	{"kova_aes_gcm::encrypt", &create_step_impl<kova_aes_gcm_encrypt_step>},
	{"kova_comch::consumer", &create_step_impl<kova_comch_consumer_step>},
	{"kova_comch::producer", &create_step_impl<kova_comch_producer_step>},
	{"kova_compress::compress", &create_step_impl<kova_compress_compress_step>},
	{"kova_compress::decompress", &create_step_impl<kova_compress_decompress_step>},
	{"kova_dma", &create_step_impl<kova_dma_step>},
	{"kova_sha", &create_step_impl<kova_sha_step>},
	{"kova_ec::create", &create_step_impl<kova_ec_create_step>},
	{"kova_ec::update", &create_step_impl<kova_ec_update_step>},
	{"kova_ec::recover", &create_step_impl<kova_ec_recover_step>},
	{"kova_rdma::send", &create_step_impl<kova_rdma_send_step>},
	{"kova_rdma::receive", &create_step_impl<kova_rdma_receive_step>},
	{"kova_rdma::bidir", &create_step_impl<kova_rdma_bidir_step>},
	{"kova_eth::rx", &create_eth_rx_step},
	{"kova_eth::tx", &create_step_impl<kova_eth_send_step>},
	{"kova_tessel::rdma_gpu", &create_step_impl<kova_tessel_rdma_gpu_step>},
	{"kova_tessel::nop", &create_step_impl<kova_tessel_nop_step>},
	{"kova_tessel::eth_rx", &create_gpu_eth_step<kova_tessel_eth_rx_step>},
	{"kova_tessel::eth_tx", &create_gpu_eth_step<kova_tessel_eth_tx_step>},
	{"kova_tessel::eth_bidir", &create_gpu_eth_step<kova_tessel_eth_bidir_step>},
}};

} // namespace

std::unique_ptr<object> create_step(const std::string &name, const object::attributes &attributes,
				    runtime_state &state, kova_pe *pe, completion_callback success_cb,
				    completion_callback error_cb, kova_data ctx_user_data)
{
	auto const entry = std::find_if(step_table.begin(), step_table.end(),
					[&](const step_entry &candidate) { return candidate.name == name; });
	if (entry == step_table.end())
		KOVA_THROW(KOVA_ERROR_INVALID_VALUE, "Unable to create step object of unknown type: \"" + name + "\"");
	if (entry->create == nullptr)
		KOVA_THROW(KOVA_ERROR_NOT_SUPPORTED, "Step \"" + name + "\" is not available in this build");
	return entry->create(attributes, state, pe, success_cb, error_cb, ctx_user_data);
}

std::vector<capabilities> create_step_info_list(const kova_dev *dev)
{
	const kova_devinfo *devinfo = kova_dev_as_devinfo(dev);
	std::vector<capabilities> list;
	list.push_back(get_kova_aes_gcm_metadata(devinfo));
	list.push_back(get_kova_comch_metadata(devinfo));
	list.push_back(get_kova_compress_metadata(devinfo));
	list.push_back(get_kova_dma_metadata(devinfo));
	list.push_back(get_kova_ec_metadata(devinfo));
	list.push_back(get_kova_eth_metadata(devinfo));
	list.push_back(get_kova_rdma_metadata(devinfo));
	list.push_back(get_kova_sha_metadata(devinfo));
	std::sort(list.begin(), list.end(),
		  [](const capabilities &a, const capabilities &b) { return a.name < b.name; });
	return list;
}

} // namespace kova::bench::step::factory
