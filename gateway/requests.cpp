/*
 * requests.cpp - information requests and transactions over the open
 * session: GetFacilityType, GetUserInfo, SendTx and Query, and strzcpy, the
 * bounded copy that cuts a code out of a fixed-width answer.
 *
 * SendTx and Query each frame their message in a process-wide buffer of
 * their own: a 4-byte payload length in host byte order, then the payload.
 * Every operation runs in the operation frame (depth, one failure line,
 * rethrow as its own type); a throw jumps across them, so they hold only
 * fixed-size records.
 */
#include <cstdio>
#include <cstring>

#include "gateway/gateway.h"
#include "gateway/guarded_io.h"

GwMessageDescriptor message;
const void *queryMessage;

namespace {

constexpr int32_t kSendBufferSize = 64000;
constexpr int32_t kLengthPrefixSize = 4;
static_assert(kSendBufferSize - kLengthPrefixSize == GWAPI_MAX_PAYLOAD, "framed message size");

/* True when a payload of this length fits the framed message. */
bool PayloadFits(int32_t length) { return length >= 0 && length <= GWAPI_MAX_PAYLOAD; }

/* Frames a payload whose length fits. */
void FrameMessage(char *buffer, const void *payload, int32_t length) {
    memcpy(buffer, &length, kLengthPrefixSize);
    if (length > 0) {
        memcpy(buffer + kLengthPrefixSize, payload, static_cast<size_t>(length));
    }
}

}  // namespace

void strzcpy(char *destination, size_t destination_size, const char *source,
             size_t source_length) {
    if (destination_size == 0) {
        return; /* no room even for the terminator */
    }
    size_t n = destination_size > source_length ? source_length : destination_size;
    if (n > 0) {
        strncpy(destination, source, n);
    }
    /* Find the last copied byte that is not a blank; a NUL is not a blank. */
    size_t end = n;
    while (end > 0 && destination[end - 1] == ' ') {
        --end;
    }
    if (end == 0) {
        destination[0] = '\0';
    } else if (end - 1 < destination_size - 1) {
        destination[end] = '\0';
    } else {
        /* The source filled the whole destination: its last byte gives way. */
        destination[end - 1] = '\0';
    }
}

void GetFacilityType() {
    Print("Retrieve facility type.\n");
    CountOperationIn();
    EXC_TRY {
        OperationBodyBegins();
        int32_t length = 4;
        int32_t completion_status =
            gwapi_get_info_ex(hSession, &glTransactionStatus, GWAPI_INFO_FACILITY_TYPE, &length,
                              &glFacilityType_EP0);
        glFacilityType_EP0 =
            static_cast<int32_t>(swapint32(static_cast<uint32_t>(glFacilityType_EP0)));
        CheckError(completion_status, glTransactionStatus);
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        Print("%d. GetFacilityType: (%s)%s\n", depth, e->type_name, e->message);
        EXC_THROW(GetFacilityTypeException, NULL);
    } EXC_FINALLY {
        --depth;
    }
}

void GetUserInfo(char *buffer, int32_t size) {
    Print("Retrieve user information.\n");
    CountOperationIn();
    EXC_TRY {
        OperationBodyBegins();
        int32_t length = size;
        int32_t completion_status = gwapi_get_info_ex(hSession, &glTransactionStatus,
                                                      GWAPI_INFO_USER, &length, buffer);
        CheckError(completion_status, glTransactionStatus);
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        Print("%d. GetUserInfo: (%s)%s\n", depth, e->type_name, e->message);
        EXC_THROW(GetUserInfoException, NULL);
    } EXC_FINALLY {
        --depth;
    }
}

int32_t SendTx(const void *payload, int32_t length, int32_t facility_type) {
    static char sendBuffer[kSendBufferSize];
    /* Written in the try body and read after the block. */
    volatile int32_t completion_status = 0;

    message.message = sendBuffer;
    message.reserved = 0;
    CountOperationIn();
    EXC_TRY {
        OperationBodyBegins();
        if (!PayloadFits(length)) {
            EXC_THROW(ExceededBufferSizeException, NULL);
        }
        if (payload == nullptr && length > 0) {
            EXC_THROW(NullPointerException, NULL);
        }
        /* Framed before the facility type is checked: a refused call leaves it framed. */
        FrameMessage(sendBuffer, payload, length);
        if (facility_type == 0) {
            EXC_THROW(InvalidFacilityTypeException, NULL);
        }
        completion_status = gwapi_tx_ex(hSession, &glTransactionStatus, facility_type, &message,
                                        glTransactionId, &glOrderId);
        /* -40 is an accepted transaction, not a failure. */
        if (completion_status != GWAPI_TX_ACCEPTED_PENDING) {
            CheckError(completion_status, glTransactionStatus);
        }
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        Print("%d. SendTx: (%s)%s\n", depth, e->type_name, e->message);
        EXC_THROW(SendTxException, NULL);
    } EXC_FINALLY {
        --depth;
    }
    return completion_status;
}

void Query(const void *payload, int32_t length, int32_t facility_type, void *answer,
           int32_t *answer_length) {
    static char sendBuffer[kSendBufferSize];

    CountOperationIn();
    EXC_TRY {
        OperationBodyBegins();
        queryMessage = sendBuffer;
        if (!PayloadFits(length)) {
            EXC_THROW(ExceededBufferSizeException, NULL);
        }
        if (payload == nullptr && length > 0) {
            EXC_THROW(NullPointerException, NULL);
        }
        FrameMessage(sendBuffer, payload, length);
        int32_t scratch = 0;
        int32_t completion_status =
            gwapi_query_ex(hSession, &glTransactionStatus, facility_type, queryMessage, 1, answer,
                           answer_length, glTransactionId, &scratch);
        CheckError(completion_status, glTransactionStatus);
    } EXC_CATCH(FileNotFoundException) {
        /* Not found passes on as its own type, with an empty message and no line. */
        EXC_RETHROW();
    } EXC_CATCH(RuntimeException) {
        const Exception *e = exc_get_exception();
        Print("%d. Query: (%s)%s\n", depth, e->type_name, e->message);
        EXC_THROW(QueryException, NULL);
    } EXC_FINALLY {
        --depth;
    }
}
