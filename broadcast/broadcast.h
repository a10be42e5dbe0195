/*
 * broadcast.h - broadcasts: reading the event-type and information-object
 * lists, subscribing to every broadcast type the gateway offers (each
 * information object singly), taking the subscriptions back, and polling for
 * broadcasts until the network-status broadcast "BN1" arrives.
 *
 * None of these operations throws: each reports by printing lines on standard
 * output and returns a status where it has one. The list buffers and the
 * subscription table are plain heap blocks (malloc/free) because a signal may
 * jump across any of these functions.
 *
 * The pure walks over the delivered bytes (one number of the event-type list,
 * the information-object list, one broadcast buffer) are declared at the end,
 * apart from the operations that make vendor calls.
 */
#ifndef BROADCAST_BROADCAST_H
#define BROADCAST_BROADCAST_H

#include <cstddef>
#include <cstdint>

#include "gwapi/gwapi.h"

/* Records carried between the lists, the subscriptions and the clears. */
using BroadcastId = GwBroadcastId;                   /* "BN1": letters B, N; number 1 */
using InfObjKey = GwInfObjKey;                       /* passed on verbatim */
using InfObjItem = GwInfObjItem;                     /* one item of the list */
using InfObjList = GwInfObjListHead;                 /* big-endian count; the items follow */
using InfObjSubscription = GwInfObjSubscription;     /* record of one object's subscription */
using InfObjUnsubscription = GwInfObjUnsubscription; /* record of one object's clear */

/* Byte offset of item 0 in an InfObjList; item i starts 16 * i bytes later. */
constexpr uint32_t kInfObjListItemsOffset = 4;

/* One entry of the subscription table: a subscription record after its call,
 * without its length field. */
struct SubscribedInfObj {
    InfObjKey key;       /* as sent */
    uint32_t clearKey;   /* exactly as the call left it, not converted */
    int32_t replyStatus; /* host byte order; 0 in every stored entry */
};

static_assert(sizeof(BroadcastId) == 4 && offsetof(BroadcastId, number) == 2, "BroadcastId");
static_assert(sizeof(InfObjKey) == 12 && offsetof(InfObjKey, broadcastId) == 4 &&
                  offsetof(InfObjKey, tailBytes) == 8,
              "InfObjKey");
static_assert(sizeof(InfObjItem) == 16 && offsetof(InfObjItem, autoLoaded) == 12, "InfObjItem");
static_assert(sizeof(InfObjList) == kInfObjListItemsOffset, "InfObjList");
static_assert(sizeof(InfObjSubscription) == 24 && offsetof(InfObjSubscription, key) == 4 &&
                  offsetof(InfObjSubscription, clearKey) == 16 &&
                  offsetof(InfObjSubscription, replyStatus) == 20,
              "InfObjSubscription");
static_assert(sizeof(SubscribedInfObj) == 20 && offsetof(SubscribedInfObj, clearKey) == 12 &&
                  offsetof(SubscribedInfObj, replyStatus) == 16,
              "SubscribedInfObj");
static_assert(sizeof(InfObjUnsubscription) == 8 && offsetof(InfObjUnsubscription, clearKey) == 4,
              "InfObjUnsubscription");
static_assert(sizeof(GwBroadcastItemHead) == 6 && offsetof(GwBroadcastItemHead, id) == 2,
              "broadcast item head");

/* The event-type list as the read delivered it, and its length in bytes
 * (0 when no list is held). */
extern char *eventTypeBuffer;
extern uint32_t eventTypeBufferSize;

/* The subscription table (null when there is none) and its entries in use. */
extern SubscribedInfObj *subscribedInfObjBuffer;
extern uint32_t subscribedInfObjCount;

/*
 * What the last polling and unsubscription found, for the run's account:
 * the network status the last "BN1" carried (glNetworkStatusRead is 1 once
 * one was read), and 0 when every clear of the last UnsubscrAllBroadcasts
 * succeeded, else the first failed clear's status.
 */
extern int32_t glNetworkStatus;
extern int32_t glNetworkStatusRead;
extern int32_t glUnsubscribeStatus;

/* Reads the event-type list into a heap buffer; 0 when the list is there. */
int32_t GetAllEventTypes(char **list, uint32_t *length);
/* Reads the information-object list into a heap buffer; 0 when it is there. */
int32_t GetAllInfObj(InfObjList **list, uint32_t *length);
/* Subscribes every information object singly and records the accepted ones. */
int32_t SubscrAllInfObj();
/* Subscribes every event type of the list; the walk's result. */
int32_t SubscrAllBroadcasts();
/* Clears every recorded information object and releases the table. */
void UnsubscrAllInfObj();
/* Clears every event type of the list and releases the list. */
void UnsubscrAllBroadcasts();
/*
 * Reads broadcasts until "BN1" arrives or a read fails. Returns the last
 * read's status: 0 or more when "BN1" arrived with its network status,
 * negative when a read failed, and kPollNoNetworkStatus when "BN1" arrived
 * too short to hold one (polling ends, but the check did not get its answer).
 */
int32_t PollBroadcasts();
/*
 * Prints the broadcasts of one delivered buffer: 1 when it held "BN1" with its
 * network status, -1 when it held a "BN1" too short for one, else 0.
 */
int32_t ShowBroadcasts(const char *buffer, uint32_t delivered);

/* PollBroadcasts' result for a "BN1" without network status: negative, so the
 * run counts it as a failed poll, and no status the library or gateway answers. */
constexpr int32_t kPollNoNetworkStatus = INT32_MIN;

/* Size of the broadcast buffer that every poll delivers into. */
constexpr uint32_t kBroadcastBufferSize = 64000;
/* Pause between two polls, in whole seconds, unless the run sets another. */
constexpr unsigned kPollPauseSeconds = 1000;
extern unsigned glPollPauseSeconds;
/* Largest buffer a list read may grow to. */
constexpr uint32_t kMaxListBufferSize = 16u * 1024 * 1024;

/* ---- Pure walks over delivered bytes: no vendor calls, no output. ---- */

/*
 * Parses one event type of the list at `position`, reading nothing at or past
 * `length`: leading white space, an optional sign, decimal digits; the value
 * is cut to 32 bits. With no digits the type is 0 and the number starts and
 * ends at `position`. Returns the position after the number and the one
 * character that follows it (possibly past `length`).
 */
uint32_t ParseEventType(const char *list, uint32_t length, uint32_t position, int32_t *event_type);

/* What a delivered information-object list holds. */
struct InfObjListExtent {
    bool count_delivered; /* false: fewer than 4 bytes arrived */
    uint32_t announced;   /* the list's count (0 when not delivered) */
    uint32_t walkable;    /* whole items delivered, at most `announced` */
};
InfObjListExtent MeasureInfObjList(const InfObjList *list, uint32_t delivered);

/* Item i of a list; the caller keeps i below the walkable count. */
InfObjItem InfObjListItem(const InfObjList *list, uint32_t i);

/* One broadcast item found by the walk. */
struct BroadcastItem {
    uint32_t offset;      /* where the item starts in the buffer */
    uint16_t body_length; /* host byte order, as it stands */
    BroadcastId id;       /* number still big-endian */
    const char *body;
};

/* Why NextBroadcastItem stopped. */
enum class BroadcastWalkEnd {
    kItem,       /* *item holds the next item */
    kEndMarker,  /* a zero length field */
    kExhausted,  /* the delivered bytes end exactly at an item boundary */
    kTruncated,  /* the next item (or its length field) runs past the delivered bytes */
};

/*
 * Steps the walk of a broadcast buffer: looks at the item at *position, never
 * reading at or past `limit`. On kItem the position moves past the item.
 */
BroadcastWalkEnd NextBroadcastItem(const char *buffer, uint32_t limit, uint32_t *position,
                                   BroadcastItem *item);

/* The broadcast's name: the letters, then the number in decimal; at most 7
 * characters and the terminator. */
void FormatBroadcastName(const BroadcastId &id, char (&name)[8]);

#endif
