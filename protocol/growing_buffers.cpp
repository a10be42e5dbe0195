/*
 * growing_buffers.cpp - the parts of the codec that allocate: the encoders
 * that append a frame to a std::vector, broadcast batches, and the
 * FrameSplitter's buffer. gwsim and the tests use them; libgwapi.so does
 * not, so that it links codec.cpp alone and needs no C++ runtime.
 */
#include "protocol/protocol.h"

#include <algorithm>

namespace gwproto {

void put_u16(std::vector<uint8_t> &out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void put_u32(std::vector<uint8_t> &out, uint32_t value)
{
    out.push_back(static_cast<uint8_t>(value >> 24));
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

/* ---- vector encoders ------------------------------------------------------ */

namespace {

/*
 * Appends the frame that `encode` (a span encoder) writes into `size` bytes,
 * or nothing when it fails. A frame above the maximum never gets its room:
 * the encoder refuses it (Oversized, or the kind) before it writes a byte.
 */
template <typename Encode>
CodecError append_frame(std::vector<uint8_t> &out, std::size_t size, Encode encode)
{
    const std::size_t start = out.size();
    out.resize(start + (size <= kMaxFrameSize ? size : 0));
    std::size_t written = 0;
    const CodecError e = encode(std::span<uint8_t>(out).subspan(start), written);
    out.resize(e == CodecError::Ok ? start + written : start);
    return e;
}

}  // namespace

CodecError encode_hello(const Hello &hello, MessageKind kind, std::vector<uint8_t> &out)
{
    return append_frame(out, kHelloFrameSize, [&](std::span<uint8_t> room, std::size_t &written) {
        return encode_hello(hello, kind, room, written);
    });
}

CodecError encode_request(const Request &request, std::vector<uint8_t> &out)
{
    return append_frame(out, encoded_request_size(request),
                        [&](std::span<uint8_t> room, std::size_t &written) {
                            return encode_request(request, room, written);
                        });
}

CodecError encode_answer(const Answer &answer, std::vector<uint8_t> &out)
{
    return append_frame(out, encoded_answer_size(answer),
                        [&](std::span<uint8_t> room, std::size_t &written) {
                            return encode_answer(answer, room, written);
                        });
}

/* ---- FrameSplitter -------------------------------------------------------- */

FrameSplitter::FrameSplitter(std::size_t max_body)
    : max_body_(max_body > kMaxFrameBodySize ? kMaxFrameBodySize : max_body)
{
}

void FrameSplitter::compact()
{
    if (consumed_ == 0)
        return;
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
}

/* Gives the held bytes room for `needed` bytes in all (see the class comment). */
void FrameSplitter::fit(std::size_t needed)
{
    const std::size_t capacity = held_.capacity();
    std::size_t target = needed;
    if (needed > capacity) {
        /* Doubling, but never past the frame whose header is held: a header
           that announces a large frame costs nothing until its bytes come. */
        std::size_t frame = needed;
        if (held_.size() >= kFrameHeaderSize)
            frame = kFrameHeaderSize + get_u32(held_.data());
        target = std::max(needed, std::min(2 * capacity, frame));
    } else if (capacity <= keep || capacity <= 2 * needed) {
        return;
    }
    std::vector<uint8_t> resized;
    resized.reserve(target);
    resized.assign(held_.begin(), held_.end());
    held_.swap(resized);
}

bool FrameSplitter::append(std::span<const uint8_t> bytes)
{
    compact();
    if (bytes.size() > kFrameHeaderSize + max_body_ + chunk_slack - held_.size())
        return false;
    fit(held_.size() + bytes.size());
    held_.insert(held_.end(), bytes.begin(), bytes.end());
    return true;
}

std::span<uint8_t> FrameSplitter::prepare()
{
    compact();
    /* `keep` bytes take small frames (several, when a client sends ahead);
       a large frame is read in steps that double what is held, up to the
       frame's end, so that a header announcing one costs nothing until its
       bytes come. */
    std::size_t target = std::max(keep, held_.size() + 1);
    if (held_.size() >= kFrameHeaderSize) {
        const std::size_t frame =
            kFrameHeaderSize + std::min<std::size_t>(get_u32(held_.data()), max_body_);
        if (frame > held_.size())
            target = std::max(keep, std::min(frame, 2 * held_.size()));
    }
    const std::size_t limit = kFrameHeaderSize + max_body_ + chunk_slack;
    fit(std::min(target, limit));
    const std::size_t room = std::min(held_.capacity(), limit) - held_.size();
    prepared_ = held_.size();
    held_.resize(prepared_ + room);
    return {held_.data() + prepared_, room};
}

void FrameSplitter::commit(std::size_t count)
{
    held_.resize(prepared_ + std::min(count, held_.size() - prepared_));
}

CodecError FrameSplitter::next(std::span<const uint8_t> &body)
{
    if (broken_)
        return CodecError::Oversized;
    if (consumed_ == held_.size()) {
        /* Every frame taken: the room a large one needed goes back now,
           not when the connection next sends something. */
        held_.clear();
        consumed_ = 0;
        fit(0);
    }
    std::span<const uint8_t> view(held_.data() + consumed_, held_.size() - consumed_);
    std::size_t frame_size = 0;
    const CodecError e = find_frame(view, body, frame_size, max_body_);
    if (e == CodecError::Ok)
        consumed_ += frame_size;
    else if (e != CodecError::Truncated)
        broken_ = true;
    return e;
}

/* ---- broadcast batches ---------------------------------------------------- */

CodecError encode_broadcast_batch(std::span<const BroadcastItem> items, std::vector<uint8_t> &out)
{
    for (const BroadcastItem &item : items)
        if (item.body.size() > 0xffff)
            return CodecError::Oversized;
    put_u32(out, static_cast<uint32_t>(items.size()));
    for (const BroadcastItem &item : items) {
        put_u16(out, static_cast<uint16_t>(item.body.size()));
        out.push_back(static_cast<uint8_t>(item.letters[0]));
        out.push_back(static_cast<uint8_t>(item.letters[1]));
        put_u16(out, item.number);
        out.insert(out.end(), item.body.begin(), item.body.end());
    }
    return CodecError::Ok;
}

}  // namespace gwproto
