// The request and reply over a bare connection that open and close a link:
// hello and bye.
#pragma once

#include "companion/api/connection.hpp"
#include "companion/api/generic_response.hpp"
#include "companion/api/v1/messages.hpp"

#include <cstdint>

namespace kova::bench::companion::api {

// Sends the request and waits for its reply, answering the peer's keep-alive
// requests meanwhile. A reply that does not come in time gives the error
// {id, 9, "Timed out waiting to send message"}; a reply with another id or of
// an unexpected type gives {id, 18, "Received unexpected response"}. Does not
// throw for a missing or wrong reply; decoding and connection failures propagate.
// Instantiated for hello_request and bye_request.
template <typename Req>
generic_response<typename Req::response_type> send_api_message(Req request, connection &link, int64_t timeout_s);

} // namespace kova::bench::companion::api
