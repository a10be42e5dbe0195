/*
 * event_type_list_fuzz.cpp - walks a whole event-type list the way the
 * subscription and unsubscription loops do: while the position is inside the
 * delivered bytes, parse one number and go on past the character after it.
 *
 * Besides ASan/UBSan on the parse (the list sits in a block of exactly the
 * delivered size, with no terminator), each number is compared with the C
 * library's base-10 conversion of the same bytes, and the walk must move
 * forward on every step, so it ends after at most length + 1 numbers.
 */
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "broadcast/broadcast.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

/*
 * What the parse at `position` must give: strtoull over the bytes from
 * `position` to the end of the list, cut to 32 bits; `end` is where the
 * number stops (the position itself when there are no digits).
 */
int32_t ExpectedEventType(const std::string &terminated, uint32_t position, uint32_t *end) {
    const char *start = terminated.c_str() + position;
    char *stop = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(start, &stop, 10);
    *end = position + static_cast<uint32_t>(stop - start);
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > kMaxListBufferSize) {
        return 0;
    }
    OwnedCopy list(data, size);
    const uint32_t length = static_cast<uint32_t>(size);
    /* The same bytes with a terminator after them, for the reference conversion. */
    const std::string terminated(list.data(), size);

    uint32_t position = 0;
    uint32_t steps = 0;
    while (position < length) {
        int32_t event_type = -1;
        uint32_t next = ParseEventType(list.data(), length, position, &event_type);
        FUZZ_CHECK(next > position);
        FUZZ_CHECK(next <= length + 1);

        uint32_t expected_end = 0;
        int32_t expected = ExpectedEventType(terminated, position, &expected_end);
        FUZZ_CHECK(event_type == expected);
        FUZZ_CHECK(next == expected_end + 1);

        position = next;
        ++steps;
        FUZZ_CHECK(steps <= length);
    }
    return 0;
}
