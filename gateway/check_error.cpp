/*
 * check_error.cpp - CheckError: turns the statuses of a failed gateway call
 * into an exception that carries the library's own texts for them.
 *
 * The texts are looked up with gwapi_get_message_ex; when the library has
 * no text for a status, a fixed replacement text names the number instead,
 * so a failed lookup never hides the failure being reported.
 */
#include <cstdio>
#include <cstring>

#include "gateway/gateway.h"

namespace {

constexpr int32_t kMessageBufferSize = 256;

/* Text of the completion status; the joined text is built here as well. */
char completion_text[kMessageBufferSize];
/* Text of the transaction status. */
char transaction_text[kMessageBufferSize];

/*
 * Asks the library for the text of a status; on a negative answer writes
 * the replacement text instead. The buffer is always terminated.
 */
void LookUpStatusText(char *buffer, int32_t status, const char *replacement_format) {
    int32_t length = kMessageBufferSize;
    if (gwapi_get_message_ex(hSession, status, buffer, &length, 0) < 0) {
        snprintf(buffer, kMessageBufferSize, replacement_format, status);
    }
    buffer[kMessageBufferSize - 1] = '\0';
}

/* Appends a text to a terminated buffer, keeping what fits and the terminator. */
void AppendText(char *buffer, size_t size, const char *text) {
    size_t used = strnlen(buffer, size - 1);
    size_t room = size - 1 - used;
    size_t length = strnlen(text, room);
    memcpy(buffer + used, text, length);
    buffer[used + length] = '\0';
}

}  // namespace

void CheckError(int32_t completion_status, int32_t transaction_status) {
    if (completion_status >= 0) {
        return;
    }
    LookUpStatusText(completion_text, completion_status,
                     "Failed to retrieve message for cstatus %d");

    /* This transaction status means the requested item does not exist. */
    if (transaction_status == GWAPI_ITEM_NOT_FOUND) {
        EXC_THROW(FileNotFoundException, NULL);
    }
    if (transaction_status == 0) {
        EXC_THROW(GatewayApiException, completion_text);
    }

    LookUpStatusText(transaction_text, transaction_status,
                     "Failed to retrieve message for transaction error %d");
    AppendText(completion_text, sizeof completion_text, ", ");
    AppendText(completion_text, sizeof completion_text, transaction_text);
    EXC_THROW(GatewayApiException, completion_text);
}
