/*
 * gateway_answers_fuzz.cpp - the bytes a gateway sends, read the way the
 * client library reads them: frames cut from the received stream, the
 * handshake answer first, then answers, and the data of each answer laid
 * out as the vendor broadcast buffer of an event-code-999 read.
 *
 * Checks beyond ASan/UBSan:
 *  - a frame found lies inside the received bytes and matches its header;
 *  - a decoded answer encodes back to exactly the bytes of its frame;
 *  - the broadcast layout agrees with an independent reading of the batch:
 *    a malformed batch is refused as such, a well-formed one is laid out
 *    exactly when it fits the buffer (and then gives its exact size), and
 *    walking the laid-out buffer finds every item of the batch in order,
 *    then the zero length that ends the buffer.
 */
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "broadcast/broadcast.h"
#include "protocol/protocol.h"
#include "tests/fuzz/fuzz_check.h"

using gwproto::CodecError;
using gwproto::MessageKind;

namespace {

/* One item of a batch as the independent reading sees it. */
struct BatchItem {
    uint16_t length;
    const uint8_t *id; /* letters and big-endian number, 4 bytes */
    const uint8_t *body;
};

/* Reads a broadcast batch without the codec. False when it is malformed:
 * short, a count the bytes do not hold, bytes left over, or an item without
 * a body (the vendor buffer could not carry it: a zero length ends it). */
bool ReadBatch(std::span<const uint8_t> batch, std::vector<BatchItem> &items, size_t &buffer_size) {
    if (batch.size() < 4) {
        return false;
    }
    const uint32_t count = gwproto::get_u32(batch.data());
    size_t at = 4;
    buffer_size = 4 + 2;
    for (uint32_t i = 0; i < count; ++i) {
        if (batch.size() - at < 6) {
            return false;
        }
        BatchItem item;
        item.length = gwproto::get_u16(batch.data() + at);
        item.id = batch.data() + at + 2;
        item.body = batch.data() + at + 6;
        if (item.length == 0 || batch.size() - at - 6 < item.length) {
            return false;
        }
        items.push_back(item);
        at += 6u + item.length;
        buffer_size += 6u + item.length;
    }
    return at == batch.size();
}

/* Lays the batch out in a buffer of `capacity` bytes and checks the result. */
void CheckLayout(std::span<const uint8_t> batch, size_t capacity) {
    std::vector<BatchItem> items;
    size_t expected_size = 0;
    const bool well_formed = ReadBatch(batch, items, expected_size);

    /* Exactly `capacity` bytes, so ASan sees any write past the caller's buffer. */
    const std::vector<uint8_t> zeros(capacity);
    OwnedCopy out(zeros.data(), capacity);
    size_t written = 0;
    const CodecError error = gwproto::layout_broadcast_buffer(
        batch, std::span<uint8_t>(reinterpret_cast<uint8_t *>(out.data()), capacity), written);

    if (!well_formed) {
        FUZZ_CHECK(error != CodecError::Ok && error != CodecError::BufferTooSmall);
        return;
    }
    if (expected_size > capacity) {
        FUZZ_CHECK(error == CodecError::BufferTooSmall);
        return;
    }
    FUZZ_CHECK(error == CodecError::Ok);
    FUZZ_CHECK(written == expected_size);

    /* The walk of the laid-out buffer meets the batch's items, then the end. */
    const char *buffer = out.data();
    uint32_t position = 4;
    for (const BatchItem &expected : items) {
        BroadcastItem item;
        FUZZ_CHECK(NextBroadcastItem(buffer, static_cast<uint32_t>(written), &position, &item) ==
                   BroadcastWalkEnd::kItem);
        FUZZ_CHECK(item.body_length == expected.length);
        FUZZ_CHECK(std::memcmp(&item.id, expected.id, 4) == 0);
        FUZZ_CHECK(std::memcmp(item.body, expected.body, expected.length) == 0);
    }
    BroadcastItem end;
    FUZZ_CHECK(NextBroadcastItem(buffer, static_cast<uint32_t>(written), &position, &end) ==
               BroadcastWalkEnd::kEndMarker);
    FUZZ_CHECK(position + 2 == written);
}

/* Decodes and checks one answer frame; false when the library would drop
 * the connection over it. */
bool CheckAnswer(std::span<const uint8_t> frame, std::span<const uint8_t> body) {
    gwproto::Answer answer;
    const CodecError error = gwproto::decode_answer(body, answer);
    MessageKind kind{};
    const CodecError peeked = gwproto::peek_kind(body, kind);
    if (error != CodecError::Ok) {
        return false;
    }
    FUZZ_CHECK(peeked == CodecError::Ok && kind == MessageKind::Answer);
    FUZZ_CHECK(answer.data.size() <= gwproto::kMaxDataSize);
    FUZZ_CHECK(answer.data.data() >= body.data() &&
               answer.data.data() + answer.data.size() <= body.data() + body.size());

    std::vector<uint8_t> encoded;
    FUZZ_CHECK(gwproto::encode_answer(answer, encoded) == CodecError::Ok);
    FUZZ_CHECK(encoded.size() == frame.size());
    FUZZ_CHECK(std::memcmp(encoded.data(), frame.data(), frame.size()) == 0);

    /* The library lays out a 999 read into the caller's buffer: the buffer
     * polling uses, and a small one whose size the answer picks. */
    const auto *status = reinterpret_cast<const uint8_t *>(&answer.transaction_status);
    CheckLayout(answer.data, kBroadcastBufferSize);
    CheckLayout(answer.data, status[0] % 64u + status[1] % 64u);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::span<const uint8_t> received(data, size);
    bool greeted = false;
    while (!received.empty()) {
        std::span<const uint8_t> body;
        size_t frame_size = 0;
        const CodecError found = gwproto::find_frame(received, body, frame_size);
        if (found != CodecError::Ok) {
            /* Truncated waits for more bytes; anything else ends the connection. */
            return 0;
        }
        FUZZ_CHECK(frame_size == gwproto::kFrameHeaderSize + body.size());
        FUZZ_CHECK(frame_size <= received.size() && !body.empty());
        FUZZ_CHECK(body.data() == received.data() + gwproto::kFrameHeaderSize);
        FUZZ_CHECK(body.size() <= gwproto::kMaxFrameBodySize);
        const std::span<const uint8_t> frame = received.first(frame_size);

        if (!greeted) {
            gwproto::Hello hello;
            MessageKind kind{};
            if (gwproto::decode_hello(body, hello, kind) != CodecError::Ok ||
                kind != MessageKind::HelloAnswer) {
                return 0; /* the library gives up: protocol error */
            }
            /* The handshake encodes back to its frame, apart from the unused id. */
            std::vector<uint8_t> encoded;
            FUZZ_CHECK(gwproto::encode_hello(hello, kind, encoded) == CodecError::Ok);
            FUZZ_CHECK(encoded.size() == frame.size());
            FUZZ_CHECK(std::memcmp(encoded.data(), frame.data(), 5) == 0);
            FUZZ_CHECK(std::memcmp(encoded.data() + 9, frame.data() + 9, frame.size() - 9) == 0);
            greeted = true;
        } else if (!CheckAnswer(frame, body)) {
            return 0;
        }
        received = received.subspan(frame_size);
    }
    return 0;
}
