/*
 * fake_gateway.h - a scripted stand-in for the gateway library, linked into
 * the broadcast unit tests in place of libgwapi.so. Each test queues the
 * answers of the reads and decides how subscriptions and clears answer; the
 * fake records every call it gets, and every pause the polling loop asks for
 * (so no test ever sleeps).
 */
#ifndef TESTS_UNIT_BROADCAST_FAKE_GATEWAY_H
#define TESTS_UNIT_BROADCAST_FAKE_GATEWAY_H

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "broadcast/broadcast.h"

/* One scripted answer to gwapi_read_event_ext_ex. */
struct FakeRead {
    int32_t status = 0;
    std::string bytes;          /* delivered on status >= 0 */
    int64_t length_out = -1;    /* what the call leaves in the length; -1: bytes delivered */
};

struct FakeSetCall {
    int32_t event_type;
    bool has_record;
    InfObjSubscription record; /* as it was sent */
};

struct FakeClearCall {
    int32_t event_type;
    bool has_record;
    InfObjUnsubscription record;
};

struct FakeGateway {
    /* Queued answers per event code; an empty queue answers -1. */
    std::map<int32_t, std::deque<FakeRead>> reads;
    /* Buffer size offered by each read, per event code. */
    std::map<int32_t, std::vector<uint32_t>> offered_sizes;

    /* Answers of gwapi_set_event_ex: may fill replyStatus and clearKey. */
    std::function<int32_t(int32_t event_type, InfObjSubscription *record)> on_set;
    std::function<int32_t(int32_t event_type, const InfObjUnsubscription *record)> on_clear;

    std::vector<FakeSetCall> set_calls;
    std::vector<FakeClearCall> clear_calls;
    std::vector<unsigned> pauses;
};

/* The one fake the library functions answer from; reset by ResetFakeGateway. */
FakeGateway &Fake();
/* Clears the fake and releases whatever the broadcast operations hold. */
void ResetFakeGateway();

/* Bytes of an information-object list: a big-endian count, then items. */
struct FakeInfObj {
    std::string name;     /* two letters and a number, e.g. "BO5" */
    bool auto_loaded = false;
};
std::string InfObjListBytes(uint32_t count, const std::vector<FakeInfObj> &items);

/* Bytes of a broadcast item: host-order length, letters, big-endian number, body. */
std::string BroadcastItemBytes(const std::string &name, const std::string &body);
/* A broadcast buffer: 4 unread bytes, the items, a zero length field. */
std::string BroadcastBufferBytes(const std::vector<std::string> &items);
/* The 4-byte host-order body of a "BN1" item. */
std::string NetworkStatusBody(int32_t status);

#endif
