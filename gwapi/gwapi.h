/*
 * gwapi.h - the gateway API: sessions, login, information requests,
 * transactions, queries, event lists, subscriptions and broadcasts.
 *
 * Every networked call returns an int32 completion status, negative on
 * failure. Integers inside the records are big-endian unless a field says
 * otherwise; swapint16/swapint32 convert them.
 *
 * The library creates no threads and installs no signal handlers. A call
 * abandoned halfway by a non-local jump out of a signal handler leaves the
 * session usable or cleanly failed (see docs/protocol.md).
 */
#ifndef GWAPI_GWAPI_H
#define GWAPI_GWAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque session handle. */
typedef struct gwapi_session *gwapi_session_t;

/* Event codes of gwapi_read_event_ext_ex. */
enum {
    GWAPI_EVENT_BROADCASTS = 999,
    GWAPI_EVENT_TYPE_LIST = 1000,
    GWAPI_EVENT_INFO_OBJECT_LIST = 1002
};

/* Information items of gwapi_get_info_ex. */
enum { GWAPI_INFO_USER = 1, GWAPI_INFO_FACILITY_TYPE = 2 };

/* Statuses the gateway and the library answer. */
enum {
    GWAPI_OK = 0,
    GWAPI_GENERAL_FAILURE = -1,
    GWAPI_BUFFER_TOO_SMALL = -13,
    GWAPI_NO_BROADCASTS = -26,
    GWAPI_TX_ACCEPTED_PENDING = -40,
    GWAPI_PASSWORD_EXPIRED = 2027,
    GWAPI_ITEM_NOT_FOUND = -600164
};

/* Some of the statuses the library and the gateway answer of their own
 * (docs/protocol.md lists them all). */
enum {
    GWAPI_INVALID_USER_OR_PASSWORD = -9003, /* the gateway refused the login or change */
    GWAPI_CONNECTION_LOST = -9004,          /* the request may or may not have arrived */
    GWAPI_ANSWER_TIMEOUT = -9006,           /* sent, but no answer in time */
    GWAPI_PROTOCOL_ERROR = -9007            /* the answer could not be read */
};

/* Login message (232 bytes). */
typedef struct GwLoginMessage {
    char user_name[32];
    char password[32];
    char host[128];
    int32_t port; /* host byte order */
    char application_name[32];
    uint8_t flag;
    uint8_t reserved[3];
} GwLoginMessage;

/* Set-new-password message (64 bytes). */
typedef struct GwSetNewPasswordMessage {
    char old_password[32];
    char new_password[32];
} GwSetNewPasswordMessage;

/* Identifier of a broadcast (4 bytes): two letters, a big-endian number. */
typedef struct GwBroadcastId {
    char letters[2];
    uint16_t number;
} GwBroadcastId;

/* Key of an information object (12 bytes), carried verbatim. */
typedef struct GwInfObjKey {
    uint8_t headBytes[4];
    GwBroadcastId broadcastId;
    uint8_t tailBytes[4];
} GwInfObjKey;

/* One item of the information-object list (16 bytes). */
typedef struct GwInfObjItem {
    GwInfObjKey key;
    uint32_t autoLoaded; /* big-endian; nonzero: loaded by the gateway itself */
} GwInfObjItem;

/* Head of the information-object list: a big-endian count, then the items. */
typedef struct GwInfObjListHead {
    uint32_t count;
} GwInfObjListHead;

/* Record of gwapi_set_event_ex for event type 1 (24 bytes). */
typedef struct GwInfObjSubscription {
    uint32_t length; /* big-endian 24 */
    GwInfObjKey key;
    uint32_t clearKey; /* set by the call */
    int32_t replyStatus; /* set by the call, big-endian; 0 accepted */
} GwInfObjSubscription;

/* Record of gwapi_clear_event_ex for event type 1 (8 bytes). */
typedef struct GwInfObjUnsubscription {
    uint32_t length; /* big-endian 8 */
    uint32_t clearKey;
} GwInfObjUnsubscription;

/*
 * Broadcast buffer of event code 999: 4 unread bytes, then items, then an
 * item head whose length is 0. Each item is this head and `length` body bytes.
 */
typedef struct GwBroadcastItemHead {
    uint16_t length; /* host byte order */
    GwBroadcastId id;
} GwBroadcastItemHead;

/* Message descriptor of gwapi_tx_ex: the framed message and a zero word. */
typedef struct GwMessageDescriptor {
    const void *message; /* 4-byte host-order payload length, then the payload */
    uint64_t reserved;
} GwMessageDescriptor;

/* Largest payload of a framed transaction or query message. */
enum { GWAPI_MAX_PAYLOAD = 63996 };

/*
 * Statuses the library answers by itself (not connected, connection lost,
 * timeouts, protocol error, ...) are listed with their texts in
 * docs/protocol.md, "Library status codes"; with such a status the call
 * stores 0 in the caller's transaction status word. Connect and answer
 * timeouts: 5000 and 10000 ms, or GWAPI_CONNECT_TIMEOUT_MS and
 * GWAPI_ANSWER_TIMEOUT_MS (read at each call).
 */

/* A new handle, not connected; no network traffic. NULL when out of memory. */
gwapi_session_t gwapi_create_session(void);
/* Closes the connection, if any, and frees the handle. NULL is harmless. */
int32_t gwapi_close_session(gwapi_session_t session);
/* Connects to the message's host and port (a fresh connection each time),
 * shakes hands and sends the 232-byte message as it is. */
int32_t gwapi_login_ex(gwapi_session_t session, int32_t *transaction_status,
                       const GwLoginMessage *message);
int32_t gwapi_set_newpwd_ex(gwapi_session_t session, int32_t *transaction_status,
                            const GwSetNewPasswordMessage *message);
/* Logs out; the handle and the connection stay. */
int32_t gwapi_logout_ex(gwapi_session_t session, int32_t *transaction_status);
/* *length: in, the buffer's capacity; out, the bytes delivered. -13 when the
 * answer does not fit (nothing written, *length unchanged). */
int32_t gwapi_get_info_ex(gwapi_session_t session, int32_t *transaction_status, int32_t item,
                          int32_t *length, void *buffer);
/* The status's text, NUL-terminated within *length bytes; *length becomes the
 * text's length. Needs no session or connection. Negative: no text. */
int32_t gwapi_get_message_ex(gwapi_session_t session, int32_t status, char *buffer,
                             int32_t *length, int32_t flags);
/* message->message: 4-byte host-order payload length (0..63996), payload.
 * Writes the 8-byte transaction id and the order id. */
int32_t gwapi_tx_ex(gwapi_session_t session, int32_t *transaction_status, int32_t facility_type,
                    const GwMessageDescriptor *message, void *transaction_id /* 8 bytes */,
                    int32_t *order_id);
/* query_message: framed as for gwapi_tx_ex. The answer goes into `answer`,
 * *answer_length in: capacity, out: bytes delivered (-13 when too small).
 * Writes the transaction id; *scratch becomes 0. */
int32_t gwapi_query_ex(gwapi_session_t session, int32_t *transaction_status,
                       int32_t facility_type, const void *query_message, int32_t mode,
                       void *answer, int32_t *answer_length, void *transaction_id /* 8 bytes */,
                       int32_t *scratch);
/* Event code 1000/1002: the list into `buffer` (*length in: capacity, out:
 * bytes delivered; -13 when too small, *length unchanged). Event code 999:
 * the next broadcast batch laid out as the broadcast buffer, -26 when there
 * is none. `wait` is accepted; reads answer at once. */
int32_t gwapi_read_event_ext_ex(gwapi_session_t session, int32_t event_code, void *buffer,
                                uint32_t *length, int32_t flags, int32_t wait);
/* Event type 1: `record` is the 24-byte subscription record; clearKey and
 * replyStatus come back as the gateway answered. Other types: no record. */
int32_t gwapi_set_event_ex(gwapi_session_t session, int32_t event_type, void *record);
/* Event type 1: `record` is the 8-byte unsubscription record. */
int32_t gwapi_clear_event_ex(gwapi_session_t session, int32_t event_type, const void *record);

uint16_t swapint16(uint16_t value);
uint32_t swapint32(uint32_t value);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(GwLoginMessage) == 232, "login message layout");
static_assert(offsetof(GwLoginMessage, host) == 64, "login message layout");
static_assert(offsetof(GwLoginMessage, port) == 192, "login message layout");
static_assert(offsetof(GwLoginMessage, application_name) == 196, "login message layout");
static_assert(offsetof(GwLoginMessage, flag) == 228, "login message layout");
static_assert(sizeof(GwSetNewPasswordMessage) == 64, "set-new-password message layout");
static_assert(sizeof(GwBroadcastId) == 4, "broadcast id layout");
static_assert(sizeof(GwInfObjKey) == 12, "information object key layout");
static_assert(sizeof(GwInfObjItem) == 16, "information object item layout");
static_assert(sizeof(GwInfObjSubscription) == 24, "subscription record layout");
static_assert(offsetof(GwInfObjSubscription, clearKey) == 16, "subscription record layout");
static_assert(sizeof(GwInfObjUnsubscription) == 8, "unsubscription record layout");
static_assert(sizeof(GwBroadcastItemHead) == 6, "broadcast item layout");
static_assert(sizeof(GwMessageDescriptor) == 16, "message descriptor layout");
#endif

#endif
