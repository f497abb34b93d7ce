// RDMA library, control path: instances, connection, settings and capabilities.
#include "rdma_details.hpp"
#include "rdma_internal.hpp"
#include "rdma_link.hpp"

#include <kova_internal/capability.hpp>
#include <kova_internal/ctx_kernel.hpp>

#include <kova/ctx.h>
#include <kova/dev.h>
#include <kova/error.h>
#include <kova/rdma.h>

#include <arpa/inet.h>

#include <cstring>
#include <new>
#include <type_traits>

using kova::sdk::capability_answer;
using kova::sdk::capability_value;
using kova::sdk::control_call;
namespace rdma = kova::sdk::rdma;

static_assert(std::is_standard_layout_v<kova_rdma>, "the tasks find their instance with offsetof");

namespace {

kova_error on_start(kova_ctx * /*ctx*/)
{
	// Running once the connection is established (rdma_link.cpp).
	return KOVA_ERROR_IN_PROGRESS;
}

kova_rdma *instance_of(kova_ctx *ctx) noexcept
{
	return reinterpret_cast<kova_rdma *>(ctx);
}

void on_stop(kova_ctx *ctx)
{
	if (kova_rdma *owner = instance_of(ctx); owner->link != nullptr)
		owner->link->close();
}

uint8_t poll(kova_ctx *ctx)
{
	kova_rdma *owner = instance_of(ctx);
	if (owner->link == nullptr)
		return 0;
	return owner->link->poll();
}

constexpr kova::sdk::ctx_ops rdma_ops{"kova_rdma", on_start, on_stop};
constexpr kova::sdk::ctx_async_ops rdma_async_ops{poll};

// A setting is taken while the context is idle: KOVA_ERROR_INVALID_VALUE for null or out of range,
// KOVA_ERROR_BAD_STATE otherwise.
kova_error check_setting(const kova_rdma *rdma, bool valid)
{
	if (rdma == nullptr || !valid)
		return KOVA_ERROR_INVALID_VALUE;
	if (rdma->ctx.state != KOVA_CTX_STATE_IDLE)
		return KOVA_ERROR_BAD_STATE;
	return KOVA_SUCCESS;
}

// Stores the setting when check_setting accepts it.
template <typename T>
kova_error set_setting(kova_rdma *rdma, T kova_rdma::*field, T value, bool valid)
{
	if (kova_error const err = check_setting(rdma, valid))
		return err;
	rdma->*field = value;
	return KOVA_SUCCESS;
}

template <typename T>
kova_error get_setting(const kova_rdma *rdma, T kova_rdma::*field, T *out)
{
	if (rdma == nullptr || out == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	*out = rdma->*field;
	return KOVA_SUCCESS;
}

bool valid_mtu(uint32_t mtu)
{
	return mtu == 256 || mtu == 512 || mtu == 1024 || mtu == 2048 || mtu == 4096;
}

} // namespace

KOVA_EXPORT kova_error kova_rdma_create(kova_dev *dev, kova_rdma **rdma)
{
	if (dev == nullptr || rdma == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_rdma_create"))
		return forced;
	auto *created = new (std::nothrow) kova_rdma{};
	if (created == nullptr)
		return KOVA_ERROR_NO_MEMORY;
	kova::sdk::ctx_init(&created->ctx, &rdma_ops, dev);
	kova::sdk::ctx_set_async(&created->ctx, &rdma_async_ops);
	kova::sdk::task_kind_init<kova_rdma_task_receive>(&created->receive, &created->ctx, "receive",
							  rdma::execute_receive, 0);
	kova::sdk::task_kind_init<kova_rdma_task_send>(&created->send, &created->ctx, "send", rdma::execute_send, 0);
	created->connection.owner = created;
	created->send_queue_size = rdma::default_queue_size;
	created->recv_queue_size = rdma::default_queue_size;
	created->max_send_buf_list_len = 1;
	created->dst_buf_list_len = 1;
	created->transport_type = KOVA_RDMA_TRANSPORT_TYPE_RC;
	created->mtu = 1024;
	created->permissions = KOVA_RDMA_PERMISSION_LOCAL_READ_WRITE;
	created->gpu_handle.fd.store(-1, std::memory_order_relaxed);
	created->gpu_handle.lost.store(0, std::memory_order_relaxed);
	*rdma = created;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_rdma_destroy(kova_rdma *rdma)
{
	if (rdma == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_rdma_destroy"))
		return forced;
	if (kova_error const err = kova::sdk::ctx_release(&rdma->ctx))
		return err;
	delete rdma->link;
	delete rdma;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_ctx *kova_rdma_as_ctx(kova_rdma *rdma)
{
	return rdma == nullptr ? nullptr : &rdma->ctx;
}

KOVA_EXPORT kova_error kova_rdma_export(kova_rdma *rdma, const void **local_details, size_t *local_details_size,
					kova_rdma_connection **connection)
{
	if (rdma == nullptr || local_details == nullptr || local_details_size == nullptr || connection == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_rdma_export"))
		return forced;
	if (rdma->ctx.state != KOVA_CTX_STATE_IDLE && rdma->ctx.state != KOVA_CTX_STATE_STARTING)
		return KOVA_ERROR_BAD_STATE;
	if (rdma->link == nullptr) {
		rdma->link = new (std::nothrow) rdma::link{rdma};
		if (rdma->link == nullptr)
			return KOVA_ERROR_NO_MEMORY;
	}
	if (kova_error const err = rdma->link->export_details(kova_dev_as_devinfo(rdma->ctx.dev)))
		return err;
	*local_details = rdma->link->local_bytes().data();
	*local_details_size = rdma->link->local_bytes().size();
	*connection = &rdma->connection;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_rdma_connect(kova_rdma *rdma, const void *remote_details, size_t remote_details_size,
					 kova_rdma_connection *connection)
{
	if (rdma == nullptr || remote_details == nullptr || connection != &rdma->connection)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_rdma_connect"))
		return forced;
	rdma::details remote{};
	if (!rdma::decode_details(remote_details, remote_details_size, remote))
		return KOVA_ERROR_INVALID_VALUE;
	if (rdma->ctx.state != KOVA_CTX_STATE_STARTING || rdma->link == nullptr || !rdma->link->exported())
		return KOVA_ERROR_BAD_STATE;
	return rdma->link->connect(remote);
}

KOVA_EXPORT kova_error kova_rdma_cap_get_max_recv_queue_size(const kova_devinfo *devinfo, uint32_t *max_recv_queue_size)
{
	return kova::sdk::query_value(devinfo, "kova_rdma_cap_get_max_recv_queue_size", rdma::max_queue_size,
				      max_recv_queue_size);
}

KOVA_EXPORT kova_error kova_rdma_cap_get_max_send_queue_size(const kova_devinfo *devinfo, uint32_t *max_send_queue_size)
{
	return kova::sdk::query_value(devinfo, "kova_rdma_cap_get_max_send_queue_size", rdma::max_queue_size,
				      max_send_queue_size);
}

KOVA_EXPORT kova_error kova_rdma_cap_get_max_send_buf_list_len(const kova_devinfo *devinfo,
							       uint32_t *max_send_buf_list_len)
{
	return kova::sdk::query_value(devinfo, "kova_rdma_cap_get_max_send_buf_list_len", rdma::max_buf_list_len,
				      max_send_buf_list_len);
}

KOVA_EXPORT kova_error kova_rdma_cap_get_max_message_size(const kova_devinfo *devinfo, uint32_t *max_message_size)
{
	return kova::sdk::query_value(devinfo, "kova_rdma_cap_get_max_message_size", rdma::max_message_size,
				      max_message_size);
}

KOVA_EXPORT kova_error kova_rdma_cap_get_gid_table_size(const kova_devinfo *devinfo, uint32_t *gid_table_size)
{
	return kova::sdk::query_value(devinfo, "kova_rdma_cap_get_gid_table_size", rdma::gid_table_size,
				      gid_table_size);
}

KOVA_EXPORT kova_error kova_rdma_cap_get_gid(const kova_devinfo *devinfo, uint32_t start_index, uint32_t num_entries,
					     struct kova_rdma_gid *gid_array)
{
	uint32_t table_size = 0;
	if (gid_array == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const err = kova_rdma_cap_get_gid_table_size(devinfo, &table_size))
		return err;
	if (num_entries == 0 || start_index >= table_size || num_entries > table_size - start_index)
		return KOVA_ERROR_INVALID_VALUE;
	uint32_t const address = rdma::listen_address(devinfo);
	for (uint32_t i = 0; i < num_entries; ++i) {
		kova_rdma_gid gid{};
		gid.raw[10] = 0xff;
		gid.raw[11] = 0xff;
		std::memcpy(gid.raw + 12, &address, sizeof(address));
		gid_array[i] = gid;
	}
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_rdma_cap_transport_type_is_supported(const kova_devinfo *devinfo, uint32_t transport_type)
{
	if (devinfo == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (transport_type == KOVA_RDMA_TRANSPORT_TYPE_RC)
		return capability_answer("kova_rdma_cap_transport_type_is_supported(RC)", KOVA_SUCCESS);
	if (transport_type == KOVA_RDMA_TRANSPORT_TYPE_DC)
		return capability_answer("kova_rdma_cap_transport_type_is_supported(DC)", KOVA_ERROR_NOT_SUPPORTED);
	return KOVA_ERROR_INVALID_VALUE;
}

KOVA_EXPORT kova_error kova_rdma_set_send_queue_size(kova_rdma *rdma, uint32_t send_queue_size)
{
	if (kova_error const forced = control_call("kova_rdma_set_send_queue_size", true, send_queue_size))
		return forced;
	return set_setting(rdma, &kova_rdma::send_queue_size, send_queue_size,
			   send_queue_size >= 1 && send_queue_size <= rdma::max_queue_size);
}

KOVA_EXPORT kova_error kova_rdma_set_recv_queue_size(kova_rdma *rdma, uint32_t recv_queue_size)
{
	if (kova_error const forced = control_call("kova_rdma_set_recv_queue_size", true, recv_queue_size))
		return forced;
	return set_setting(rdma, &kova_rdma::recv_queue_size, recv_queue_size,
			   recv_queue_size >= 1 && recv_queue_size <= rdma::max_queue_size);
}

KOVA_EXPORT kova_error kova_rdma_set_max_send_buf_list_len(kova_rdma *rdma, uint32_t max_send_buf_list_len)
{
	return set_setting(rdma, &kova_rdma::max_send_buf_list_len, max_send_buf_list_len,
			   max_send_buf_list_len >= 1 && max_send_buf_list_len <= rdma::max_buf_list_len);
}

KOVA_EXPORT kova_error kova_rdma_set_transport_type(kova_rdma *rdma, uint32_t transport_type)
{
	if (kova_error const forced = control_call("kova_rdma_set_transport_type", true, transport_type))
		return forced;
	if (kova_error const err = check_setting(rdma, transport_type <= KOVA_RDMA_TRANSPORT_TYPE_DC))
		return err;
	if (kova_error const supported =
		    kova_rdma_cap_transport_type_is_supported(kova_dev_as_devinfo(rdma->ctx.dev), transport_type))
		return supported;
	rdma->transport_type = transport_type;
	return KOVA_SUCCESS;
}

KOVA_EXPORT kova_error kova_rdma_set_mtu(kova_rdma *rdma, uint32_t mtu)
{
	if (kova_error const forced = control_call("kova_rdma_set_mtu", true, mtu))
		return forced;
	return set_setting(rdma, &kova_rdma::mtu, mtu, valid_mtu(mtu));
}

KOVA_EXPORT kova_error kova_rdma_set_permissions(kova_rdma *rdma, uint32_t permissions)
{
	if (kova_error const forced = control_call("kova_rdma_set_permissions", true, permissions))
		return forced;
	return set_setting(rdma, &kova_rdma::permissions, permissions, (permissions & ~0xFU) == 0);
}

KOVA_EXPORT kova_error kova_rdma_set_grh_enabled(kova_rdma *rdma, uint8_t grh_enabled)
{
	return set_setting(rdma, &kova_rdma::grh_enabled, grh_enabled, grh_enabled <= 1);
}

KOVA_EXPORT kova_error kova_rdma_set_gid_index(kova_rdma *rdma, uint32_t gid_index)
{
	if (kova_error const forced = control_call("kova_rdma_set_gid_index", true, gid_index))
		return forced;
	uint32_t table_size = 0;
	if (rdma != nullptr &&
	    kova_rdma_cap_get_gid_table_size(kova_dev_as_devinfo(rdma->ctx.dev), &table_size) != KOVA_SUCCESS)
		table_size = 0;
	return set_setting(rdma, &kova_rdma::gid_index, gid_index, gid_index < table_size);
}

KOVA_EXPORT kova_error kova_rdma_set_sl(kova_rdma *rdma, uint32_t sl)
{
	return set_setting(rdma, &kova_rdma::sl, sl, sl <= 15);
}

KOVA_EXPORT kova_error kova_rdma_get_send_queue_size(const kova_rdma *rdma, uint32_t *send_queue_size)
{
	return get_setting(rdma, &kova_rdma::send_queue_size, send_queue_size);
}

KOVA_EXPORT kova_error kova_rdma_get_recv_queue_size(const kova_rdma *rdma, uint32_t *recv_queue_size)
{
	return get_setting(rdma, &kova_rdma::recv_queue_size, recv_queue_size);
}

KOVA_EXPORT kova_error kova_rdma_get_max_send_buf_list_len(const kova_rdma *rdma, uint32_t *max_send_buf_list_len)
{
	return get_setting(rdma, &kova_rdma::max_send_buf_list_len, max_send_buf_list_len);
}

KOVA_EXPORT kova_error kova_rdma_get_transport_type(const kova_rdma *rdma, uint32_t *transport_type)
{
	return get_setting(rdma, &kova_rdma::transport_type, transport_type);
}

KOVA_EXPORT kova_error kova_rdma_get_mtu(const kova_rdma *rdma, uint32_t *mtu)
{
	return get_setting(rdma, &kova_rdma::mtu, mtu);
}

KOVA_EXPORT kova_error kova_rdma_get_permissions(const kova_rdma *rdma, uint32_t *permissions)
{
	return get_setting(rdma, &kova_rdma::permissions, permissions);
}

KOVA_EXPORT kova_error kova_rdma_get_grh_enabled(const kova_rdma *rdma, uint8_t *grh_enabled)
{
	return get_setting(rdma, &kova_rdma::grh_enabled, grh_enabled);
}

KOVA_EXPORT kova_error kova_rdma_get_gid_index(const kova_rdma *rdma, uint32_t *gid_index)
{
	return get_setting(rdma, &kova_rdma::gid_index, gid_index);
}

KOVA_EXPORT kova_error kova_rdma_get_sl(const kova_rdma *rdma, uint32_t *sl)
{
	return get_setting(rdma, &kova_rdma::sl, sl);
}

KOVA_EXPORT kova_error kova_rdma_get_gpu_handle(kova_rdma *rdma, kova_gpu_dev_rdma **gpu_rdma)
{
	if (rdma == nullptr || gpu_rdma == nullptr)
		return KOVA_ERROR_INVALID_VALUE;
	if (kova_error const forced = control_call("kova_rdma_get_gpu_handle"))
		return forced;
	// Only an instance whose data path is on a GPU has a GPU handle.
	if (rdma->ctx.gpu_datapath == nullptr)
		return KOVA_ERROR_BAD_STATE;
	*gpu_rdma = &rdma->gpu_handle;
	return KOVA_SUCCESS;
}
