/*
 * polling.cpp - waiting for broadcasts: reads event code 999 into one fixed
 * 64000-byte buffer, prints the name of every broadcast delivered, and stops
 * when the network-status broadcast "BN1" arrives (with its status or too
 * short to hold one) or a read fails. Between
 * two reads that brought no "BN1" the program pauses; a signal (turned into
 * an exception by the framework) is the way to end that wait from outside.
 */
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "broadcast/broadcast.h"
#include "gateway/gateway.h"
#include "gateway/guarded_io.h"

int32_t glNetworkStatus;
int32_t glNetworkStatusRead;
unsigned glPollPauseSeconds = kPollPauseSeconds;

namespace {

/* The walk starts after 4 bytes that are not read. */
constexpr uint32_t kFirstItemOffset = 4;

/* Prints the network status "BN1" carries; false when its body is too short
 * to hold one. */
bool ShowNetworkStatus(const BroadcastItem &item) {
    int32_t network_status;
    if (item.body_length < sizeof network_status) {
        Print("BN1 broadcast too short: %u body bytes, no network status.\n",
               static_cast<unsigned>(item.body_length));
        return false;
    }
    memcpy(&network_status, item.body, sizeof network_status);
    glNetworkStatus = network_status;
    glNetworkStatusRead = 1;
    Print("BN1 Network status: %d\n", network_status);
    return true;
}

}  // namespace

int32_t ShowBroadcasts(const char *buffer, uint32_t delivered) {
    /* Only the bytes this read delivered count, never more than the buffer. */
    uint32_t limit = delivered < kBroadcastBufferSize ? delivered : kBroadcastBufferSize;
    uint32_t position = kFirstItemOffset;
    if (limit <= kFirstItemOffset) {
        return 0;
    }
    for (;;) {
        BroadcastItem item;
        BroadcastWalkEnd end = NextBroadcastItem(buffer, limit, &position, &item);
        if (end == BroadcastWalkEnd::kTruncated) {
            Print("Broadcast item at offset %u runs past the %u bytes delivered; rest ignored.\n",
                   position, limit);
        }
        if (end != BroadcastWalkEnd::kItem) {
            return 0;
        }
        char name[8];
        FormatBroadcastName(item.id, name);
        Print("Broadcast received : %s\n", name);
        if (strcmp(name, "BN1") == 0) {
            return ShowNetworkStatus(item) ? 1 : -1;
        }
    }
}

int32_t PollBroadcasts() {
    /* Every read delivers here; it is not cleared between reads. */
    static char buffer[kBroadcastBufferSize];
    int32_t status = 0;
    glNetworkStatusRead = 0;
    Print("Waiting for broadcasts...\n");
    while (status >= 0 || status == GWAPI_NO_BROADCASTS) {
        uint32_t length = kBroadcastBufferSize;
        status = gwapi_read_event_ext_ex(hSession, GWAPI_EVENT_BROADCASTS, buffer, &length, 0, 1);
        if (status >= 0) {
            int32_t shown = ShowBroadcasts(buffer, length);
            if (shown != 0) {
                /* BN1 arrived: polling ends, a failure if it brought no status. */
                Print("Exiting now...\n");
                return shown > 0 ? status : kPollNoNetworkStatus;
            }
        } else if (status != GWAPI_NO_BROADCASTS) {
            Print("gwapi_read_event_ext_ex : PollBroadcasts: status=%d\n", status);
            return status;
        }
        /* What was printed must be visible while the program waits. */
        FlushOutput();
        sleep(glPollPauseSeconds);
    }
    return status;
}
