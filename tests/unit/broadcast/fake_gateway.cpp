/*
 * fake_gateway.cpp - the scripted library functions the broadcast operations
 * call (reads, subscriptions, clears, byte swaps), the binding globals they
 * use, and a sleep that records its argument instead of waiting.
 */
#include "tests/unit/broadcast/fake_gateway.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "gateway/gateway.h"

gwapi_session_t hSession;
int32_t glTransactionStatus;

namespace {

FakeGateway fake;

uint16_t BigEndian16(uint16_t value) { return swapint16(value); }

}  // namespace

FakeGateway &Fake() { return fake; }

void ResetFakeGateway() {
    fake = FakeGateway();
    free(eventTypeBuffer);
    eventTypeBuffer = nullptr;
    eventTypeBufferSize = 0;
    free(subscribedInfObjBuffer);
    subscribedInfObjBuffer = nullptr;
    subscribedInfObjCount = 0;
}

extern "C" {

uint16_t swapint16(uint16_t value) { return __builtin_bswap16(value); }
uint32_t swapint32(uint32_t value) { return __builtin_bswap32(value); }

int32_t gwapi_read_event_ext_ex(gwapi_session_t, int32_t event_code, void *buffer,
                                uint32_t *length, int32_t, int32_t) {
    fake.offered_sizes[event_code].push_back(*length);
    std::deque<FakeRead> &queue = fake.reads[event_code];
    if (queue.empty()) {
        return -1;
    }
    FakeRead read = queue.front();
    queue.pop_front();
    if (read.status >= 0) {
        size_t copied = read.bytes.size() < *length ? read.bytes.size() : *length;
        memcpy(buffer, read.bytes.data(), copied);
        *length = static_cast<uint32_t>(copied);
    }
    if (read.length_out >= 0) {
        *length = static_cast<uint32_t>(read.length_out);
    }
    return read.status;
}

int32_t gwapi_set_event_ex(gwapi_session_t, int32_t event_type, void *record) {
    FakeSetCall call{event_type, record != nullptr, {}};
    if (record != nullptr) {
        memcpy(&call.record, record, sizeof call.record);
    }
    fake.set_calls.push_back(call);
    if (!fake.on_set) {
        return 0;
    }
    return fake.on_set(event_type, static_cast<InfObjSubscription *>(record));
}

int32_t gwapi_clear_event_ex(gwapi_session_t, int32_t event_type, const void *record) {
    FakeClearCall call{event_type, record != nullptr, {}};
    if (record != nullptr) {
        memcpy(&call.record, record, sizeof call.record);
    }
    fake.clear_calls.push_back(call);
    if (!fake.on_clear) {
        return 0;
    }
    return fake.on_clear(event_type, static_cast<const InfObjUnsubscription *>(record));
}

/* The polling loop's pause: recorded, never waited for. */
unsigned int sleep(unsigned int seconds) {
    fake.pauses.push_back(seconds);
    return 0;
}

}  // extern "C"

std::string InfObjListBytes(uint32_t count, const std::vector<FakeInfObj> &items) {
    std::string bytes(kInfObjListItemsOffset + items.size() * sizeof(InfObjItem), '\0');
    uint32_t big_count = swapint32(count);
    memcpy(&bytes[0], &big_count, sizeof big_count);
    for (size_t i = 0; i < items.size(); ++i) {
        InfObjItem item;
        memset(&item, 0, sizeof item);
        /* Recognisable opaque bytes around the identifier. */
        memset(item.key.headBytes, 0xA0 + static_cast<int>(i), sizeof item.key.headBytes);
        memset(item.key.tailBytes, 0xB0 + static_cast<int>(i), sizeof item.key.tailBytes);
        item.key.broadcastId.letters[0] = items[i].name[0];
        item.key.broadcastId.letters[1] = items[i].name[1];
        item.key.broadcastId.number =
            BigEndian16(static_cast<uint16_t>(atoi(items[i].name.c_str() + 2)));
        item.autoLoaded = swapint32(items[i].auto_loaded ? 1u : 0u);
        memcpy(&bytes[kInfObjListItemsOffset + i * sizeof item], &item, sizeof item);
    }
    return bytes;
}

std::string BroadcastItemBytes(const std::string &name, const std::string &body) {
    GwBroadcastItemHead head;
    head.length = static_cast<uint16_t>(body.size());
    head.id.letters[0] = name[0];
    head.id.letters[1] = name[1];
    head.id.number = BigEndian16(static_cast<uint16_t>(atoi(name.c_str() + 2)));
    std::string bytes(sizeof head, '\0');
    memcpy(&bytes[0], &head, sizeof head);
    return bytes + body;
}

std::string BroadcastBufferBytes(const std::vector<std::string> &items) {
    std::string bytes(4, '\x55');
    for (const std::string &item : items) {
        bytes += item;
    }
    return bytes + std::string(2, '\0');
}

std::string NetworkStatusBody(int32_t status) {
    std::string body(sizeof status, '\0');
    memcpy(&body[0], &status, sizeof status);
    return body;
}
