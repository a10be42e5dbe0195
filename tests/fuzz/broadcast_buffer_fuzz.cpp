/*
 * broadcast_buffer_fuzz.cpp - walks a delivered broadcast buffer item by
 * item, then prints it as polling does (standard output goes to /dev/null).
 *
 * The buffer sits in a block of exactly the delivered size. Every item the
 * walk returns must lie inside the bytes from the walk's start to the limit,
 * each step must move forward, and the walk must end with the reason the
 * bytes give: the zero length field, the exact end, or an item cut short.
 */
#include <cstdint>
#include <cstring>

#include "broadcast/broadcast.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

/* The first item follows 4 bytes that are not read, as in a poll. */
constexpr uint32_t kFirstItemOffset = 4;

/* Walks the buffer; returns what printing it must return: 1 when the walk
 * meets "BN1" with a body that holds a network status, -1 when its body is
 * too short for one. */
int32_t WalkBuffer(const char *buffer, uint32_t limit) {
    uint32_t position = kFirstItemOffset;
    for (;;) {
        const uint32_t start = position;
        BroadcastItem item;
        BroadcastWalkEnd end = NextBroadcastItem(buffer, limit, &position, &item);
        if (end != BroadcastWalkEnd::kItem) {
            FUZZ_CHECK(position == start);
            if (end == BroadcastWalkEnd::kExhausted) {
                FUZZ_CHECK(start == limit);
            } else if (end == BroadcastWalkEnd::kEndMarker) {
                FUZZ_CHECK(start + 2 <= limit && buffer[start] == 0 && buffer[start + 1] == 0);
            } else {
                uint16_t length = 0;
                if (start + 2 <= limit) {
                    std::memcpy(&length, buffer + start, sizeof length);
                    FUZZ_CHECK(length != 0);
                    FUZZ_CHECK(uint64_t{start} + sizeof(GwBroadcastItemHead) + length > limit);
                } else {
                    FUZZ_CHECK(start > limit || start + 2 > limit);
                }
            }
            return 0;
        }
        FUZZ_CHECK(item.offset == start);
        FUZZ_CHECK(item.body_length != 0);
        FUZZ_CHECK(item.body == buffer + start + sizeof(GwBroadcastItemHead));
        FUZZ_CHECK(position == start + sizeof(GwBroadcastItemHead) + item.body_length);
        FUZZ_CHECK(position <= limit);
        FUZZ_CHECK(std::memcmp(&item.id, buffer + start + 2, sizeof item.id) == 0);
        char name[8];
        FormatBroadcastName(item.id, name);
        if (std::strcmp(name, "BN1") == 0) {
            return item.body_length >= sizeof(int32_t) ? 1 : -1;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    SilenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > kBroadcastBufferSize) {
        return 0;
    }
    OwnedCopy buffer(data, size);
    const uint32_t delivered = static_cast<uint32_t>(size);
    int32_t expected = delivered > kFirstItemOffset ? WalkBuffer(buffer.data(), delivered) : 0;
    FUZZ_CHECK(ShowBroadcasts(buffer.data(), delivered) == expected);
    return 0;
}
