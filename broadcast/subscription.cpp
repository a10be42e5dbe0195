/*
 * subscription.cpp - reading the two lists the gateway offers, subscribing to
 * every event type (each information object singly, recorded in the
 * subscription table) and clearing them all again.
 *
 * The list buffers and the table are malloc'd blocks held through the
 * process-wide pointers below: a signal can jump out of any of these
 * functions, so nothing here may own memory through a destructor.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "broadcast/broadcast.h"
#include "gateway/gateway.h"
#include "gateway/guarded_io.h"

char *eventTypeBuffer = nullptr;
uint32_t eventTypeBufferSize = 0;
SubscribedInfObj *subscribedInfObjBuffer = nullptr;
uint32_t subscribedInfObjCount = 0;
int32_t glUnsubscribeStatus = 0;

namespace {

constexpr int32_t kInfObjEventType = 1;
constexpr uint32_t kFirstEventTypeListSize = 100;
constexpr uint32_t kFirstInfObjListSize = 2048;

/* Size of the next buffer after a -13 answer, or 0 when the list may not grow
 * any further. The library's answer is doubled; an answer that would not make
 * the buffer grow doubles the refused size instead, so the loop always ends. */
uint32_t NextListBufferSize(uint32_t refused_size, uint32_t length_after_refusal) {
    uint64_t next = 2 * static_cast<uint64_t>(length_after_refusal);
    if (next <= refused_size) {
        next = 2 * static_cast<uint64_t>(refused_size);
    }
    if (next > kMaxListBufferSize) {
        next = refused_size < kMaxListBufferSize ? kMaxListBufferSize : 0;
    }
    return static_cast<uint32_t>(next);
}

/*
 * Reads one list (event code 1000 or 1002) into a heap buffer that doubles on
 * each -13 answer. Status 0: *list holds the buffer and *length the bytes
 * delivered (never more than the buffer holds). Anything else: the buffer is
 * released, *list is null and *length 0, and `error_format` is printed with
 * the status. The buffer is stored in *list as soon as it is taken, so a
 * signal that jumps out of the read leaves it where its owner finds it.
 */
template <typename List>
int32_t ReadList(int32_t event_code, uint32_t first_size, const char *error_format, List **list,
                 uint32_t *length) {
    glTransactionStatus = 0;
    uint32_t size = first_size;
    int32_t status = GWAPI_GENERAL_FAILURE;
    for (;;) {
        TakeBlock(list, size);
        if (*list == nullptr) {
            Print("Error : cannot allocate %u bytes for the list of event code %d\n", size,
                   event_code);
            status = GWAPI_GENERAL_FAILURE;
            break;
        }
        *length = size;
        status = gwapi_read_event_ext_ex(hSession, event_code, *list, length, 0, 0);
        if (status != GWAPI_BUFFER_TOO_SMALL) {
            break;
        }
        GiveBackBlock(list);
        uint32_t next = NextListBufferSize(size, *length);
        if (next == 0) {
            break; /* still too small at the largest size: reported as -13 */
        }
        size = next;
    }
    if (status != 0) {
        GiveBackBlock(list);
        *length = 0;
        Print(error_format, status);
        return status;
    }
    if (*length > size) {
        *length = size;
    }
    return status;
}

/* Subscribes one information object; prints its line and records it when the
 * gateway accepted it. */
void SubscribeInfObj(const InfObjItem &item) {
    const BroadcastId &id = item.key.broadcastId;
    Print("gwapi_set_event_ex : Subscribe : '%c", id.letters[0]);
    Print("%c", id.letters[1]);
    Print("%i' : ", static_cast<int>(swapint16(id.number)));
    if (item.autoLoaded != 0) {
        Print("Automatic loaded by the gateway\n");
        return;
    }
    InfObjSubscription record;
    record.length = swapint32(sizeof record);
    record.key = item.key;
    record.clearKey = 0;
    record.replyStatus = 0;
    int32_t status = gwapi_set_event_ex(hSession, kInfObjEventType, &record);
    int32_t reply_status = static_cast<int32_t>(swapint32(static_cast<uint32_t>(record.replyStatus)));
    if (reply_status == 0) {
        Print("Accepted.\n");
        SubscribedInfObj &entry = subscribedInfObjBuffer[subscribedInfObjCount];
        entry.key = record.key;
        entry.clearKey = record.clearKey;
        entry.replyStatus = reply_status;
        ++subscribedInfObjCount;
    } else {
        Print("Rejected with Status = %d.", reply_status);
    }
    if (status < 0) {
        Print("Fail : Status = %d\n", status);
    }
}

/* The information-object list while SubscrAllInfObj reads and walks it. It
 * lives here rather than in a local so that a signal jumping out of the walk
 * leaves it reachable; the next walk releases it. */
InfObjList *infObjListBeingWalked = nullptr;

void ReleaseInfObjList() {
    GiveBackBlock(&infObjListBeingWalked);
}

/* Keeps the first failed clear's status for the run's account. */
void NoteClearFailure(int32_t status) {
    if (glUnsubscribeStatus == 0) {
        glUnsubscribeStatus = status;
    }
}

/* Releases the subscription table, if one is held. */
void ReleaseSubscriptionTable() {
    subscribedInfObjCount = 0;
    GiveBackBlock(&subscribedInfObjBuffer);
}

}  // namespace

int32_t GetAllEventTypes(char **list, uint32_t *length) {
    return ReadList(GWAPI_EVENT_TYPE_LIST, kFirstEventTypeListSize,
                    "Error : Completion status = %d\n", list, length);
}

int32_t GetAllInfObj(InfObjList **list, uint32_t *length) {
    return ReadList(GWAPI_EVENT_INFO_OBJECT_LIST, kFirstInfObjListSize, "Error: Status = %d\n",
                    list, length);
}

int32_t SubscrAllInfObj() {
    /* A second run (event type 1 listed twice) starts a new table: the old
     * one is released first rather than lost. */
    ReleaseSubscriptionTable();

    ReleaseInfObjList();
    uint32_t delivered = 0;
    int32_t status = GetAllInfObj(&infObjListBeingWalked, &delivered);
    if (status != 0) {
        /* A positive status released the list too: nothing to walk. */
        Print("Error retrieving info objects, status=%d\n", status);
        return status;
    }

    InfObjList *list = infObjListBeingWalked;
    InfObjListExtent extent = MeasureInfObjList(list, delivered);
    if (!extent.count_delivered) {
        Print("Information-object list too short: %u bytes delivered, no count.\n", delivered);
    }
    /* Room for every object that can be walked: as many as the count
     * announces, unless fewer were delivered. */
    size_t table_bytes = static_cast<size_t>(extent.walkable) * sizeof(SubscribedInfObj);
    TakeBlock(&subscribedInfObjBuffer, table_bytes);
    if (subscribedInfObjBuffer == nullptr && table_bytes != 0) {
        ReleaseInfObjList();
        Print("Error : cannot allocate the subscription table for %u objects\n", extent.walkable);
        status = GWAPI_GENERAL_FAILURE;
        Print("Error retrieving info objects, status=%d\n", status);
        return status;
    }

    for (uint32_t i = 0; i < extent.walkable; ++i) {
        SubscribeInfObj(InfObjListItem(list, i));
    }
    if (extent.walkable < extent.announced) {
        Print("Information-object list truncated: %u items announced, %u delivered.\n",
               extent.announced, extent.walkable);
    }
    ReleaseInfObjList();
    return status;
}

int32_t SubscrAllBroadcasts() {
    Print("Subscribing to all available broadcasts.\n");
    int32_t status = GetAllEventTypes(&eventTypeBuffer, &eventTypeBufferSize);
    if (status != 0) {
        return status;
    }
    int32_t result = 0;
    uint32_t position = 0;
    while (position < eventTypeBufferSize && result >= 0) {
        int32_t event_type = 0;
        position = ParseEventType(eventTypeBuffer, eventTypeBufferSize, position, &event_type);
        Print("Event Type=%d\n", event_type);
        if (event_type == kInfObjEventType) {
            SubscrAllInfObj();
            continue;
        }
        result = gwapi_set_event_ex(hSession, event_type, nullptr);
        if (result >= 0) {
            Print("Subscription status: Success\n");
        } else {
            Print("Failed\n");
            Print("Error : Status = %d\n", result);
        }
    }
    return result;
}

void UnsubscrAllInfObj() {
    for (uint32_t i = 0; i < subscribedInfObjCount; ++i) {
        InfObjUnsubscription record;
        record.length = swapint32(sizeof record);
        record.clearKey = subscribedInfObjBuffer[i].clearKey;
        FlushOutput();
        int32_t status = gwapi_clear_event_ex(hSession, kInfObjEventType, &record);
        if (status < 0) {
            NoteClearFailure(status);
            Print("Error, Status = %d\n", status);
        }
    }
    ReleaseSubscriptionTable();
}

void UnsubscrAllBroadcasts() {
    Print("Unsubscribe all broadcasts.\n");
    glUnsubscribeStatus = 0;
    int32_t result = 0;
    uint32_t position = 0;
    while (position < eventTypeBufferSize && result >= 0) {
        int32_t event_type = 0;
        position = ParseEventType(eventTypeBuffer, eventTypeBufferSize, position, &event_type);
        if (event_type == kInfObjEventType) {
            UnsubscrAllInfObj();
            continue;
        }
        result = gwapi_clear_event_ex(hSession, event_type, nullptr);
        if (result < 0) {
            NoteClearFailure(result);
            Print("Fail : Status = %d\n", result);
        }
    }
    eventTypeBufferSize = 0;
    GiveBackBlock(&eventTypeBuffer);
}
