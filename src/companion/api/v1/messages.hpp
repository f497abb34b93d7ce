// The version-1 messages of the companion protocol. `id` is the message id of
// the frame header; the other fields are the body items in declaration order.
// A reply carries the id of its request.
#pragma once

#include "companion/api/version.hpp"

#include <kova/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kova::bench::companion::api::v1 {

// The version every encoder writes into its header.
inline constexpr version api_version{1, 24};

using string_map = std::unordered_map<std::string, std::string>;

struct error_response {
	static constexpr uint32_t type_id = 1;
	static constexpr std::string_view type_name = "error_response";
	uint64_t id = 0;
	kova_error error_code = 0;
	std::string message;
};

struct hello_response {
	static constexpr uint32_t type_id = 2;
	static constexpr std::string_view type_name = "hello_response";
	uint64_t id = 0;
	std::vector<version> supported_api_versions;
};

struct hello_request {
	static constexpr uint32_t type_id = 3;
	static constexpr std::string_view type_name = "hello_request";
	using response_type = hello_response;
	uint64_t id = 0;
	std::vector<version> supported_api_versions;
};

struct bye_response {
	static constexpr uint32_t type_id = 4;
	static constexpr std::string_view type_name = "bye_response";
	uint64_t id = 0;
};

struct bye_request {
	static constexpr uint32_t type_id = 5;
	static constexpr std::string_view type_name = "bye_request";
	using response_type = bye_response;
	uint64_t id = 0;
};

struct create_remote_mmaps_response {
	static constexpr uint32_t type_id = 6;
	static constexpr std::string_view type_name = "create_remote_mmaps_response";
	uint64_t id = 0;
	std::vector<std::vector<char>> exported_mmaps;
};

struct create_remote_mmaps_with_data_request {
	static constexpr uint32_t type_id = 7;
	static constexpr std::string_view type_name = "create_remote_mmaps_with_data_request";
	using response_type = create_remote_mmaps_response;
	uint64_t id = 0;
	std::vector<std::vector<char>> buffers;
};

struct create_uninitialized_remote_mmaps_request {
	static constexpr uint32_t type_id = 8;
	static constexpr std::string_view type_name = "create_uninitialized_remote_mmaps_request";
	using response_type = create_remote_mmaps_response;
	uint64_t id = 0;
	uint32_t mmap_count = 0;
	uint32_t mmap_size = 0;
};

struct destroy_remote_mmaps_response {
	static constexpr uint32_t type_id = 9;
	static constexpr std::string_view type_name = "destroy_remote_mmaps_response";
	uint64_t id = 0;
};

struct destroy_remote_mmaps_request {
	static constexpr uint32_t type_id = 10;
	static constexpr std::string_view type_name = "destroy_remote_mmaps_request";
	using response_type = destroy_remote_mmaps_response;
	uint64_t id = 0;
};

struct get_environment_information_response {
	static constexpr uint32_t type_id = 11;
	static constexpr std::string_view type_name = "get_environment_information_response";
	uint64_t id = 0;
	string_map information;
};

struct get_environment_information_request {
	static constexpr uint32_t type_id = 12;
	static constexpr std::string_view type_name = "get_environment_information_request";
	using response_type = get_environment_information_response;
	uint64_t id = 0;
};

struct configure_worker_pool_response {
	static constexpr uint32_t type_id = 13;
	static constexpr std::string_view type_name = "configure_worker_pool_response";
	uint64_t id = 0;
};

// `cores` travels as one string: the ids in decimal joined by ",".
struct configure_worker_pool_request {
	static constexpr uint32_t type_id = 14;
	static constexpr std::string_view type_name = "configure_worker_pool_request";
	using response_type = configure_worker_pool_response;
	uint64_t id = 0;
	std::unordered_set<uint16_t> cores;
};

struct create_worker_response {
	static constexpr uint32_t type_id = 15;
	static constexpr std::string_view type_name = "create_worker_response";
	uint64_t id = 0;
	uint32_t worker_id = 0;
	string_map fields;
};

struct create_worker_request {
	static constexpr uint32_t type_id = 16;
	static constexpr std::string_view type_name = "create_worker_request";
	using response_type = create_worker_response;
	uint64_t id = 0;
	std::string worker_type;
	string_map command;
};

struct start_workers_response {
	static constexpr uint32_t type_id = 17;
	static constexpr std::string_view type_name = "start_workers_response";
	uint64_t id = 0;
};

struct start_workers_request {
	static constexpr uint32_t type_id = 18;
	static constexpr std::string_view type_name = "start_workers_request";
	using response_type = start_workers_response;
	uint64_t id = 0;
};

struct stop_worker_response {
	static constexpr uint32_t type_id = 19;
	static constexpr std::string_view type_name = "stop_worker_response";
	uint64_t id = 0;
};

// worker_id 0 asks the companion to stop every worker.
struct stop_worker_request {
	static constexpr uint32_t type_id = 20;
	static constexpr std::string_view type_name = "stop_worker_request";
	uint64_t id = 0;
	uint32_t worker_id = 0;
};

struct destroy_workers_response {
	static constexpr uint32_t type_id = 21;
	static constexpr std::string_view type_name = "destroy_workers_response";
	uint64_t id = 0;
};

struct destroy_workers_request {
	static constexpr uint32_t type_id = 22;
	static constexpr std::string_view type_name = "destroy_workers_request";
	uint64_t id = 0;
};

// The keep-alive runs the other way: the companion asks, the benchmark answers.
struct keep_alive_response {
	static constexpr uint32_t type_id = 23;
	static constexpr std::string_view type_name = "keep_alive_response";
	uint64_t id = 0;
};

struct keep_alive_request {
	static constexpr uint32_t type_id = 24;
	static constexpr std::string_view type_name = "keep_alive_request";
	uint64_t id = 0;
};

// Every version-1 message type, in type-id order: codecs, printing and tests
// expand X(type) over it.
#define KOVA_V1_MESSAGE_TYPES(X)                                                                               \
	X(error_response)                                                                                      \
	X(hello_response)                                                                                      \
	X(hello_request)                                                                                       \
	X(bye_response)                                                                                        \
	X(bye_request)                                                                                         \
	X(create_remote_mmaps_response)                                                                        \
	X(create_remote_mmaps_with_data_request)                                                               \
	X(create_uninitialized_remote_mmaps_request)                                                           \
	X(destroy_remote_mmaps_response)                                                                       \
	X(destroy_remote_mmaps_request)                                                                        \
	X(get_environment_information_response)                                                                \
	X(get_environment_information_request)                                                                 \
	X(configure_worker_pool_response)                                                                      \
	X(configure_worker_pool_request)                                                                       \
	X(create_worker_response)                                                                              \
	X(create_worker_request)                                                                               \
	X(start_workers_response)                                                                              \
	X(start_workers_request)                                                                               \
	X(stop_worker_response)                                                                                \
	X(stop_worker_request)                                                                                 \
	X(destroy_workers_response)                                                                            \
	X(destroy_workers_request)                                                                             \
	X(keep_alive_response)                                                                                 \
	X(keep_alive_request)

// The same list as one type, for code that visits every message type.
#define KOVA_V1_ONE_TYPE(T) std::tuple<T>{},
using message_types = decltype(std::tuple_cat(KOVA_V1_MESSAGE_TYPES(KOVA_V1_ONE_TYPE) std::tuple<>{}));
#undef KOVA_V1_ONE_TYPE

inline constexpr uint32_t last_type_id = std::tuple_size_v<message_types>;

template <typename... T>
constexpr bool type_ids_count_from_one(const std::tuple<T...> * /*list*/)
{
	uint32_t expected = 0;
	return ((T::type_id == ++expected) && ...);
}
static_assert(type_ids_count_from_one(static_cast<const message_types *>(nullptr)),
	      "the list holds every type once, in type-id order");

inline bool operator==(const error_response &lhs, const error_response &rhs)
{
	return lhs.id == rhs.id && lhs.error_code == rhs.error_code && lhs.message == rhs.message;
}

inline bool operator==(const hello_response &lhs, const hello_response &rhs)
{
	return lhs.id == rhs.id && lhs.supported_api_versions == rhs.supported_api_versions;
}

} // namespace kova::bench::companion::api::v1
