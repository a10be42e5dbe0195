/*
 * status_texts.cpp - gwapi_get_message_ex: the text of every status the
 * gateway or the library can answer. Needs no session and no connection.
 */
#include <cstring>

// The library is built with hidden visibility; the API alone is exported.
#pragma GCC visibility push(default)
#include "gwapi/gwapi.h"
#pragma GCC visibility pop
#include "gwapi/library_status.h"

namespace {

struct StatusText {
    int32_t status;
    const char *text;
};

using namespace gwapi_internal;

/* The public header names some of them for callers: the numbers must agree. */
static_assert(GWAPI_INVALID_USER_OR_PASSWORD == kStatusInvalidUserOrPassword);
static_assert(GWAPI_CONNECTION_LOST == kStatusConnectionLost);
static_assert(GWAPI_ANSWER_TIMEOUT == kStatusAnswerTimeout);
static_assert(GWAPI_PROTOCOL_ERROR == kStatusProtocolError);


constexpr StatusText kStatusTexts[] = {
    {GWAPI_GENERAL_FAILURE, "General failure."},
    {GWAPI_BUFFER_TOO_SMALL, "Buffer too small."},
    {GWAPI_NO_BROADCASTS, "No broadcasts available."},
    {GWAPI_PASSWORD_EXPIRED, "Password has expired."},
    {GWAPI_ITEM_NOT_FOUND, "Item not found."},
    {kStatusNotConnected, "Not connected."},
    {kStatusNotLoggedIn, "Not logged in."},
    {kStatusInvalidUserOrPassword, "Invalid user or password."},
    {kStatusConnectionLost, "Connection lost."},
    {kStatusConnectTimeout, "Connect timeout."},
    {kStatusAnswerTimeout, "Answer timeout."},
    {kStatusProtocolError, "Protocol error."},
    {kStatusConnectFailed, "Connect failed."},
    {kStatusInvalidArgument, "Invalid argument."},
    {kStatusVersionMismatch, "Protocol version not supported."},
    {kStatusNameNotResolved, "Host name not resolved."},
    {kStatusMessageLength, "Message length out of range."},
};

const char *find_text(int32_t status) {
    for (const StatusText &entry : kStatusTexts)
        if (entry.status == status) return entry.text;
    return nullptr;
}

}  // namespace

/*
 * Copies the status's text, NUL-terminated, into buffer (capacity *length
 * bytes) and sets *length to the text's length. Returns 0; -13 when the text
 * had to be cut to fit (*length then counts the characters kept); -1 for a
 * status without a text or unusable arguments (the buffer then holds an
 * empty text when it has room for one).
 */
int32_t gwapi_get_message_ex(gwapi_session_t, int32_t status, char *buffer, int32_t *length,
                             int32_t) {
    if (buffer == nullptr || length == nullptr || *length <= 0) return GWAPI_GENERAL_FAILURE;
    const char *text = find_text(status);
    if (text == nullptr) {
        buffer[0] = '\0';
        *length = 0;
        return GWAPI_GENERAL_FAILURE;
    }
    const std::size_t capacity = static_cast<std::size_t>(*length);
    const std::size_t text_length = std::strlen(text);
    const std::size_t kept = text_length < capacity ? text_length : capacity - 1;
    std::memcpy(buffer, text, kept);
    buffer[kept] = '\0';
    *length = static_cast<int32_t>(kept);
    return kept == text_length ? GWAPI_OK : GWAPI_BUFFER_TOO_SMALL;
}
