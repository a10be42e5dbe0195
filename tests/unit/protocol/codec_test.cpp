/*
 * codec_test.cpp - the protocol codec: every message kind survives a round
 * trip, and truncated, oversized, trailing and garbage input is refused with
 * the right error instead of being read past its end.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "protocol/protocol.h"

using namespace gwproto;

namespace {

const std::vector<uint8_t> kRecord = {1, 2, 3, 4, 5, 6, 7, 8, 9};

std::vector<Request> sample_requests()
{
    std::vector<Request> requests;
    auto add = [&](MessageKind kind, auto fill) {
        Request r;
        r.kind = kind;
        r.request_id = 1000u + static_cast<uint32_t>(requests.size());
        fill(r);
        requests.push_back(r);
    };
    add(MessageKind::Login, [](Request &r) { r.record = kRecord; });
    add(MessageKind::SetNewPassword, [](Request &r) { r.record = kRecord; });
    add(MessageKind::Logout, [](Request &) {});
    add(MessageKind::GetInfo, [](Request &r) { r.arg = 2; r.capacity = 4; });
    add(MessageKind::Tx, [](Request &r) { r.facility_type = -5; r.record = kRecord; });
    add(MessageKind::Query, [](Request &r) {
        r.facility_type = 5; r.mode = 1; r.capacity = 0xfffffff0u; r.record = kRecord; });
    add(MessageKind::ReadEvent, [](Request &r) {
        r.arg = 999; r.capacity = 64000; r.flags = 0; r.wait = 1; });
    add(MessageKind::SetEvent, [](Request &r) { r.arg = 1; r.record = kRecord; });
    add(MessageKind::SetEvent, [](Request &r) { r.arg = 7; });
    add(MessageKind::ClearEvent, [](Request &r) { r.arg = INT32_MIN; r.record = kRecord; });
    add(MessageKind::Close, [](Request &) {});
    return requests;
}

std::span<const uint8_t> body_of(const std::vector<uint8_t> &frame)
{
    std::span<const uint8_t> body;
    std::size_t size = 0;
    EXPECT_EQ(find_frame(frame, body, size), CodecError::Ok);
    EXPECT_EQ(size, frame.size());
    return body;
}

bool same_bytes(std::span<const uint8_t> a, std::span<const uint8_t> b)
{
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

}  // namespace

TEST(Codec, EveryRequestKindSurvivesARoundTrip)
{
    for (const Request &sent : sample_requests()) {
        SCOPED_TRACE(std::string(call_name(sent.kind)));
        std::vector<uint8_t> frame;
        ASSERT_EQ(encode_request(sent, frame), CodecError::Ok);
        EXPECT_EQ(frame.size(), encoded_request_size(sent));

        Request got;
        ASSERT_EQ(decode_request(body_of(frame), got), CodecError::Ok);
        EXPECT_EQ(got.kind, sent.kind);
        EXPECT_EQ(got.request_id, sent.request_id);
        EXPECT_EQ(got.arg, sent.arg);
        EXPECT_EQ(got.facility_type, sent.facility_type);
        EXPECT_EQ(got.mode, sent.mode);
        EXPECT_EQ(got.capacity, sent.capacity);
        EXPECT_EQ(got.flags, sent.flags);
        EXPECT_EQ(got.wait, sent.wait);
        EXPECT_TRUE(same_bytes(got.record, sent.record));

        /* The span form writes the same bytes, and refuses a short buffer. */
        std::vector<uint8_t> fixed(frame.size());
        std::size_t written = 0;
        ASSERT_EQ(encode_request(sent, std::span<uint8_t>(fixed), written), CodecError::Ok);
        EXPECT_EQ(written, frame.size());
        EXPECT_EQ(fixed, frame);
        EXPECT_EQ(encode_request(sent, std::span<uint8_t>(fixed.data(), fixed.size() - 1), written),
                  CodecError::BufferTooSmall);
    }
}

TEST(Codec, AnswerAndHandshakeRoundTrip)
{
    const std::vector<uint8_t> data = {0, 0, 0, 5};
    Answer sent{7, -13, -600164, data};
    std::vector<uint8_t> frame;
    ASSERT_EQ(encode_answer(sent, frame), CodecError::Ok);
    /* The example of docs/protocol.md, byte for byte. */
    const std::vector<uint8_t> expected = {0, 0, 0, 0x15, 0x90, 0, 0, 0, 7, 0xff, 0xff, 0xff, 0xf3,
                                           0xff, 0xf6, 0xd7, 0x9c, 0, 0, 0, 4, 0, 0, 0, 5};
    EXPECT_EQ(frame, expected);
    Answer got;
    ASSERT_EQ(decode_answer(body_of(frame), got), CodecError::Ok);
    EXPECT_EQ(got.request_id, 7u);
    EXPECT_EQ(got.completion_status, -13);
    EXPECT_EQ(got.transaction_status, -600164);
    EXPECT_TRUE(same_bytes(got.data, data));

    for (MessageKind kind : {MessageKind::Hello, MessageKind::HelloAnswer}) {
        std::vector<uint8_t> hello_frame;
        ASSERT_EQ(encode_hello(Hello{kProtocolVersion, kStatusVersionMismatch}, kind, hello_frame),
                  CodecError::Ok);
        Hello hello;
        MessageKind decoded_kind{};
        ASSERT_EQ(decode_hello(body_of(hello_frame), hello, decoded_kind), CodecError::Ok);
        EXPECT_EQ(decoded_kind, kind);
        EXPECT_EQ(hello.version, kProtocolVersion);
        EXPECT_EQ(hello.status, kStatusVersionMismatch);
    }
}

TEST(Codec, GetInfoRequestMatchesTheDocumentedBytes)
{
    Request r;
    r.kind = MessageKind::GetInfo;
    r.request_id = 7;
    r.arg = 2;
    r.capacity = 4;
    std::vector<uint8_t> frame;
    ASSERT_EQ(encode_request(r, frame), CodecError::Ok);
    const std::vector<uint8_t> expected = {0, 0, 0, 13, 0x13, 0, 0, 0, 7, 0, 0, 0, 2, 0, 0, 0, 4};
    EXPECT_EQ(frame, expected);
}

TEST(Codec, EveryTruncationAndTrailingByteIsRefused)
{
    for (const Request &sent : sample_requests()) {
        SCOPED_TRACE(std::string(call_name(sent.kind)));
        std::vector<uint8_t> frame;
        ASSERT_EQ(encode_request(sent, frame), CodecError::Ok);
        const std::vector<uint8_t> body(frame.begin() + kFrameHeaderSize, frame.end());
        for (std::size_t n = 0; n < body.size(); ++n) {
            /* A copy of exactly n bytes, so that ASan sees any read past it. */
            const std::vector<uint8_t> cut(body.begin(), body.begin() + static_cast<long>(n));
            Request got;
            EXPECT_EQ(decode_request(cut, got), CodecError::Truncated) << "length " << n;
        }
        std::vector<uint8_t> longer = body;
        longer.push_back(0);
        Request got;
        EXPECT_EQ(decode_request(longer, got), CodecError::TrailingBytes);
    }
    std::vector<uint8_t> answer;
    ASSERT_EQ(encode_answer(Answer{1, 0, 0, kRecord}, answer), CodecError::Ok);
    for (std::size_t n = 0; n + kFrameHeaderSize < answer.size(); ++n) {
        const std::vector<uint8_t> cut(answer.begin() + kFrameHeaderSize,
                                       answer.begin() + static_cast<long>(kFrameHeaderSize + n));
        Answer got;
        EXPECT_EQ(decode_answer(cut, got), CodecError::Truncated);
    }
}

TEST(Codec, OversizedLengthsAreRefused)
{
    /* A byte field announcing more than the maximum, with the bytes present. */
    std::vector<uint8_t> body = {static_cast<uint8_t>(MessageKind::Login), 0, 0, 0, 1};
    put_u32(body, kMaxDataSize + 1);
    body.resize(body.size() + kMaxDataSize + 1);
    Request request;
    EXPECT_EQ(decode_request(body, request), CodecError::Oversized);

    /* Encoding refuses such a record too. */
    const std::vector<uint8_t> big(kMaxDataSize + 1);
    Request r;
    r.kind = MessageKind::Tx;
    r.record = big;
    std::vector<uint8_t> frame;
    EXPECT_EQ(encode_request(r, frame), CodecError::Oversized);
    EXPECT_EQ(encode_answer(Answer{1, 0, 0, big}, frame), CodecError::Oversized);

    /* A frame header above the maximum, and a zero-length frame. */
    std::vector<uint8_t> header;
    put_u32(header, kMaxFrameBodySize + 1);
    std::span<const uint8_t> view;
    std::size_t size = 0;
    EXPECT_EQ(find_frame(header, view, size), CodecError::Oversized);
    const std::vector<uint8_t> empty = {0, 0, 0, 0};
    EXPECT_EQ(find_frame(empty, view, size), CodecError::BadField);
    /* A receiver may set a lower limit. */
    std::vector<uint8_t> small;
    put_u32(small, 100);
    EXPECT_EQ(find_frame(small, view, size, 99), CodecError::Oversized);
}

TEST(Codec, WrongKindsAndBadMagicAreRefused)
{
    std::vector<uint8_t> answer;
    ASSERT_EQ(encode_answer(Answer{}, answer), CodecError::Ok);
    Request request;
    EXPECT_EQ(decode_request(body_of(answer), request), CodecError::UnknownKind);

    std::vector<uint8_t> login;
    Request r;
    r.kind = MessageKind::Login;
    ASSERT_EQ(encode_request(r, login), CodecError::Ok);
    Answer got;
    EXPECT_EQ(decode_answer(body_of(login), got), CodecError::UnknownKind);

    std::vector<uint8_t> hello;
    ASSERT_EQ(encode_hello(Hello{}, MessageKind::Hello, hello), CodecError::Ok);
    hello[kFrameHeaderSize + 5] = 'X';
    Hello h;
    MessageKind kind{};
    EXPECT_EQ(decode_hello(body_of(hello), h, kind), CodecError::BadMagic);
    EXPECT_EQ(encode_hello(Hello{}, MessageKind::Answer, hello), CodecError::UnknownKind);

    const std::vector<uint8_t> unknown = {0x7f, 0, 0, 0, 0};
    EXPECT_EQ(decode_request(unknown, request), CodecError::UnknownKind);
    EXPECT_EQ(peek_kind(unknown, kind), CodecError::UnknownKind);
    EXPECT_EQ(peek_kind({}, kind), CodecError::Truncated);
}

TEST(Codec, RandomGarbageNeverDecodesPastItsEnd)
{
    std::mt19937 random(12345);
    for (int round = 0; round < 20000; ++round) {
        std::vector<uint8_t> bytes(random() % 40);
        for (uint8_t &b : bytes)
            b = static_cast<uint8_t>(random());
        /* Bias the first byte towards real kinds to reach the field decoders. */
        if (!bytes.empty() && round % 2 == 0)
            bytes[0] = static_cast<uint8_t>(0x10 + random() % 10);
        Request request;
        Answer answer;
        Hello hello;
        MessageKind kind{};
        if (decode_request(bytes, request) == CodecError::Ok) {
            EXPECT_LE(request.record.size(), bytes.size());
        }
        (void)decode_answer(bytes, answer);
        (void)decode_hello(bytes, hello, kind);
        std::vector<uint8_t> out(64);
        std::size_t written = 0;
        (void)layout_broadcast_buffer(bytes, out, written);
    }
}

TEST(FrameSplitter, ReassemblesFramesFromSingleBytes)
{
    std::vector<uint8_t> stream;
    for (const Request &r : sample_requests())
        ASSERT_EQ(encode_request(r, stream), CodecError::Ok);
    FrameSplitter splitter;
    std::size_t frames = 0;
    for (uint8_t b : stream) {
        ASSERT_TRUE(splitter.append({&b, 1}));
        std::span<const uint8_t> body;
        CodecError e;
        while ((e = splitter.next(body)) == CodecError::Ok) {
            Request got;
            ASSERT_EQ(decode_request(body, got), CodecError::Ok);
            EXPECT_EQ(got.request_id, 1000u + frames);
            ++frames;
        }
        ASSERT_EQ(e, CodecError::Truncated);
    }
    EXPECT_EQ(frames, sample_requests().size());
    EXPECT_EQ(splitter.buffered(), 0u);
}

TEST(FrameSplitter, BreaksOnAnOversizedHeaderAndBoundsItsMemory)
{
    FrameSplitter splitter(100);
    std::vector<uint8_t> header;
    put_u32(header, 101);
    ASSERT_TRUE(splitter.append(header));
    std::span<const uint8_t> body;
    EXPECT_EQ(splitter.next(body), CodecError::Oversized);
    EXPECT_TRUE(splitter.broken());
    EXPECT_EQ(splitter.next(body), CodecError::Oversized);

    /* A sender that never completes a frame cannot make it hold more than
     * one maximal frame plus the slack. */
    FrameSplitter bounded(100);
    std::vector<uint8_t> partial;
    put_u32(partial, 100);
    ASSERT_TRUE(bounded.append(partial));
    const std::vector<uint8_t> flood(FrameSplitter::chunk_slack + 101);
    EXPECT_FALSE(bounded.append(flood));
    EXPECT_EQ(bounded.buffered(), 4u);
}

TEST(FrameSplitter, MemoryFollowsWhatItHolds)
{
    /* Fed the way the server reads: into the room prepare() offers. */
    std::vector<uint8_t> stream;
    put_u32(stream, gwproto::kMaxFrameBodySize);
    stream.resize(gwproto::kMaxFrameSize, 0x13);
    FrameSplitter splitter;
    std::size_t fed = 0;
    const auto feed_until = [&](std::size_t end) {
        while (fed < end) {
            const std::span<uint8_t> room = splitter.prepare();
            ASSERT_FALSE(room.empty());
            const std::size_t n = std::min(room.size(), end - fed);
            std::memcpy(room.data(), stream.data() + fed, n);
            splitter.commit(n);
            fed += n;
        }
    };
    /* A header announcing the largest frame costs no more than a waiting reader. */
    feed_until(4);
    EXPECT_LE(splitter.capacity(), FrameSplitter::keep);

    /* Growing, it takes at most twice what it holds, and never more than the frame. */
    for (const std::size_t held : {std::size_t{3000}, std::size_t{20000}, gwproto::kMaxFrameSize - 1}) {
        feed_until(held);
        EXPECT_EQ(splitter.buffered(), held);
        EXPECT_LE(splitter.capacity(), std::min(2 * held, gwproto::kMaxFrameSize));
    }

    /* Once the frame is taken, the room goes back. */
    feed_until(gwproto::kMaxFrameSize);
    std::span<const uint8_t> body;
    ASSERT_EQ(splitter.next(body), CodecError::Ok);
    EXPECT_EQ(body.size(), gwproto::kMaxFrameBodySize);
    EXPECT_EQ(splitter.next(body), CodecError::Truncated);
    EXPECT_LE(splitter.capacity(), FrameSplitter::keep);
}

TEST(BroadcastBatch, LaysOutTheVendorBufferInHostOrder)
{
    const std::vector<uint8_t> body1 = {0x01, 0x02};
    const std::vector<uint8_t> body2 = {0x01, 0, 0, 0};
    BroadcastItem items[2];
    items[0].letters[0] = 'B';
    items[0].letters[1] = 'O';
    items[0].number = 5;
    items[0].body = body1;
    items[1].letters[0] = 'B';
    items[1].letters[1] = 'N';
    items[1].number = 1;
    items[1].body = body2;
    std::vector<uint8_t> batch;
    ASSERT_EQ(encode_broadcast_batch(items, batch), CodecError::Ok);

    const std::size_t size = broadcast_buffer_size(items);
    EXPECT_EQ(size, 4u + 8u + 10u + 2u);
    std::vector<uint8_t> out(size);
    std::size_t written = 0;
    ASSERT_EQ(layout_broadcast_buffer(batch, out, written), CodecError::Ok);
    EXPECT_EQ(written, size);
    uint16_t length = 0;
    std::memcpy(&length, out.data() + 4, 2);
    EXPECT_EQ(length, 2); /* host order, as the vendor buffer has it */
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 6, out.begin() + 12),
              (std::vector<uint8_t>{'B', 'O', 0, 5, 1, 2}));
    std::memcpy(&length, out.data() + 12, 2);
    EXPECT_EQ(length, 4);
    EXPECT_EQ(out[size - 2], 0);
    EXPECT_EQ(out[size - 1], 0);

    std::vector<uint8_t> small(size - 1);
    EXPECT_EQ(layout_broadcast_buffer(batch, small, written), CodecError::BufferTooSmall);

    /* A count that claims more items than the bytes hold. */
    std::vector<uint8_t> lying = batch;
    lying[3] = 3;
    EXPECT_EQ(layout_broadcast_buffer(lying, out, written), CodecError::Truncated);
    std::vector<uint8_t> longer = batch;
    longer.push_back(0);
    EXPECT_EQ(layout_broadcast_buffer(longer, out, written), CodecError::TrailingBytes);

    /* Malformed is reported as such, also when the buffer is too small as well. */
    EXPECT_EQ(layout_broadcast_buffer(lying, small, written), CodecError::Truncated);
    /* An item without a body would end the vendor buffer and hide the items after it. */
    std::vector<uint8_t> empty_body = {0, 0, 0, 2, 0, 0, 'B', 'O', 0, 5, 0, 1, 'B', 'N', 0, 1, 7};
    EXPECT_EQ(layout_broadcast_buffer(empty_body, out, written), CodecError::BadField);
}
