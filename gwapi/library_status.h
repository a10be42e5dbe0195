/*
 * library_status.h - the negative statuses the library answers by itself
 * (as opposed to statuses the gateway answers). The numbers live in the
 * shared protocol header, next to those the simulator answers, and are
 * documented in docs/protocol.md ("Library status codes").
 */
#ifndef GWAPI_LIBRARY_STATUS_H
#define GWAPI_LIBRARY_STATUS_H

#include <cstdint>

#include "protocol/protocol.h"

namespace gwapi_internal {

using gwproto::kStatusAnswerTimeout;
using gwproto::kStatusConnectFailed;
using gwproto::kStatusConnectionLost;
using gwproto::kStatusConnectTimeout;
using gwproto::kStatusInvalidArgument;
using gwproto::kStatusInvalidUserOrPassword;
using gwproto::kStatusMessageLength;
using gwproto::kStatusNameNotResolved;
using gwproto::kStatusNotConnected;
using gwproto::kStatusNotLoggedIn;
using gwproto::kStatusProtocolError;
using gwproto::kStatusVersionMismatch;

}  // namespace gwapi_internal

#endif
