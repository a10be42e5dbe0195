/*
 * codec.cpp - encoding and checked decoding of the protocol's frames,
 * handshake, requests, answers and broadcast batches (see protocol.h and
 * docs/protocol.md).
 *
 * Encoding goes through a small sink that either appends to a vector or
 * writes into a fixed span, so that both forms share one description of
 * each message. Decoding goes through a bounded reader: every field read
 * first checks that the field lies inside the given bytes.
 */
#include "protocol/protocol.h"

#include <algorithm>
#include <cstring>

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

uint16_t get_u16(const uint8_t *bytes)
{
    return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

uint32_t get_u32(const uint8_t *bytes)
{
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

namespace {

struct CallName {
    MessageKind kind;
    std::string_view name;
};

constexpr CallName kCallNames[] = {
    {MessageKind::Login, "gwapi_login_ex"},
    {MessageKind::SetNewPassword, "gwapi_set_newpwd_ex"},
    {MessageKind::Logout, "gwapi_logout_ex"},
    {MessageKind::GetInfo, "gwapi_get_info_ex"},
    {MessageKind::Tx, "gwapi_tx_ex"},
    {MessageKind::Query, "gwapi_query_ex"},
    {MessageKind::ReadEvent, "gwapi_read_event_ext_ex"},
    {MessageKind::SetEvent, "gwapi_set_event_ex"},
    {MessageKind::ClearEvent, "gwapi_clear_event_ex"},
    {MessageKind::Close, "gwapi_close_session"},
};

/* Destination of an encoding: a growing vector or a fixed span. A span sink
 * that runs out of room remembers it and ignores further bytes. */
class Sink {
public:
    explicit Sink(std::vector<uint8_t> &vector) : vector_(&vector) {}
    explicit Sink(std::span<uint8_t> span) : span_(span) {}

    void bytes(const uint8_t *data, std::size_t count)
    {
        if (vector_ != nullptr) {
            if (count != 0)
                vector_->insert(vector_->end(), data, data + count);
            return;
        }
        if (overflow_ || span_.size() - used_ < count) {
            overflow_ = true;
            return;
        }
        if (count != 0)
            std::memcpy(span_.data() + used_, data, count);
        used_ += count;
    }
    void u8(uint8_t value) { bytes(&value, 1); }
    void u16(uint16_t value)
    {
        const uint8_t b[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
        bytes(b, 2);
    }
    void u32(uint32_t value)
    {
        const uint8_t b[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                              static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
        bytes(b, 4);
    }
    void i32(int32_t value) { u32(static_cast<uint32_t>(value)); }
    void blob(std::span<const uint8_t> data)
    {
        u32(static_cast<uint32_t>(data.size()));
        bytes(data.data(), data.size());
    }
    bool overflow() const { return overflow_; }
    std::size_t used() const { return used_; }

private:
    std::vector<uint8_t> *vector_ = nullptr;
    std::span<uint8_t> span_;
    std::size_t used_ = 0;
    bool overflow_ = false;
};

/* Reads fields from a body; every read checks the remaining length first. */
class Reader {
public:
    explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool u8(uint8_t &value)
    {
        if (remaining() < 1)
            return fail(CodecError::Truncated);
        value = bytes_[pos_++];
        return true;
    }
    bool u16(uint16_t &value)
    {
        if (remaining() < 2)
            return fail(CodecError::Truncated);
        value = get_u16(bytes_.data() + pos_);
        pos_ += 2;
        return true;
    }
    bool u32(uint32_t &value)
    {
        if (remaining() < 4)
            return fail(CodecError::Truncated);
        value = get_u32(bytes_.data() + pos_);
        pos_ += 4;
        return true;
    }
    bool i32(int32_t &value)
    {
        uint32_t raw = 0;
        if (!u32(raw))
            return false;
        value = static_cast<int32_t>(raw);
        return true;
    }
    bool raw(std::size_t count, std::span<const uint8_t> &view)
    {
        if (remaining() < count)
            return fail(CodecError::Truncated);
        view = bytes_.subspan(pos_, count);
        pos_ += count;
        return true;
    }
    bool blob(std::span<const uint8_t> &view)
    {
        uint32_t size = 0;
        if (!u32(size))
            return false;
        if (size > kMaxDataSize)
            return fail(CodecError::Oversized);
        return raw(size, view);
    }
    /* Ok when every byte was consumed and no read failed. */
    CodecError finish()
    {
        if (error_ == CodecError::Ok && remaining() != 0)
            error_ = CodecError::TrailingBytes;
        return error_;
    }
    CodecError error() const { return error_; }
    std::size_t remaining() const { return bytes_.size() - pos_; }

private:
    bool fail(CodecError error)
    {
        if (error_ == CodecError::Ok)
            error_ = error;
        return false;
    }

    std::span<const uint8_t> bytes_;
    std::size_t pos_ = 0;
    CodecError error_ = CodecError::Ok;
};

/* Fixed-field sizes of each kind's body, after the kind byte and request id. */
std::size_t fixed_request_fields(MessageKind kind)
{
    switch (kind) {
    case MessageKind::Login:
    case MessageKind::SetNewPassword: return 4;          /* blob length */
    case MessageKind::Logout:
    case MessageKind::Close: return 0;
    case MessageKind::GetInfo: return 8;                 /* item, capacity */
    case MessageKind::Tx: return 8;                      /* facility, blob length */
    case MessageKind::Query: return 16;                  /* facility, mode, capacity, blob length */
    case MessageKind::ReadEvent: return 16;              /* code, capacity, flags, wait */
    case MessageKind::SetEvent:
    case MessageKind::ClearEvent: return 8;              /* type, blob length */
    default: return 0;
    }
}

bool carries_record(MessageKind kind)
{
    switch (kind) {
    case MessageKind::Login:
    case MessageKind::SetNewPassword:
    case MessageKind::Tx:
    case MessageKind::Query:
    case MessageKind::SetEvent:
    case MessageKind::ClearEvent: return true;
    default: return false;
    }
}

constexpr std::size_t kBodyHead = 5; /* kind byte, request id */

void write_request_body(const Request &r, Sink &sink)
{
    sink.u8(static_cast<uint8_t>(r.kind));
    sink.u32(r.request_id);
    switch (r.kind) {
    case MessageKind::Login:
    case MessageKind::SetNewPassword: sink.blob(r.record); break;
    case MessageKind::GetInfo:
        sink.i32(r.arg);
        sink.u32(r.capacity);
        break;
    case MessageKind::Tx:
        sink.i32(r.facility_type);
        sink.blob(r.record);
        break;
    case MessageKind::Query:
        sink.i32(r.facility_type);
        sink.i32(r.mode);
        sink.u32(r.capacity);
        sink.blob(r.record);
        break;
    case MessageKind::ReadEvent:
        sink.i32(r.arg);
        sink.u32(r.capacity);
        sink.i32(r.flags);
        sink.i32(r.wait);
        break;
    case MessageKind::SetEvent:
    case MessageKind::ClearEvent:
        sink.i32(r.arg);
        sink.blob(r.record);
        break;
    default: break;
    }
}

CodecError check_request(const Request &r)
{
    if (!is_call_kind(r.kind))
        return CodecError::UnknownKind;
    if (r.record.size() > kMaxDataSize)
        return CodecError::Oversized;
    return CodecError::Ok;
}

template <typename Out>
CodecError encode_request_into(const Request &r, Out &&out, std::size_t *written)
{
    if (const CodecError e = check_request(r); e != CodecError::Ok)
        return e;
    Sink sink(out);
    sink.u32(static_cast<uint32_t>(encoded_request_size(r) - kFrameHeaderSize));
    write_request_body(r, sink);
    if (sink.overflow())
        return CodecError::BufferTooSmall;
    if (written != nullptr)
        *written = sink.used();
    return CodecError::Ok;
}

template <typename Out>
CodecError encode_answer_into(const Answer &a, Out &&out, std::size_t *written)
{
    if (a.data.size() > kMaxDataSize)
        return CodecError::Oversized;
    Sink sink(out);
    sink.u32(static_cast<uint32_t>(encoded_answer_size(a) - kFrameHeaderSize));
    sink.u8(static_cast<uint8_t>(MessageKind::Answer));
    sink.u32(a.request_id);
    sink.i32(a.completion_status);
    sink.i32(a.transaction_status);
    sink.blob(a.data);
    if (sink.overflow())
        return CodecError::BufferTooSmall;
    if (written != nullptr)
        *written = sink.used();
    return CodecError::Ok;
}

constexpr std::size_t kHelloBody = kBodyHead + 4 + 2 + 4; /* magic, version, status */

template <typename Out>
CodecError encode_hello_into(const Hello &h, MessageKind kind, Out &&out, std::size_t *written)
{
    if (kind != MessageKind::Hello && kind != MessageKind::HelloAnswer)
        return CodecError::UnknownKind;
    Sink sink(out);
    sink.u32(static_cast<uint32_t>(kHelloBody));
    sink.u8(static_cast<uint8_t>(kind));
    sink.u32(0);
    sink.bytes(kMagic, sizeof kMagic);
    sink.u16(h.version);
    sink.i32(h.status);
    if (sink.overflow())
        return CodecError::BufferTooSmall;
    if (written != nullptr)
        *written = sink.used();
    return CodecError::Ok;
}

}  // namespace

bool is_call_kind(MessageKind kind)
{
    for (const CallName &c : kCallNames)
        if (c.kind == kind)
            return true;
    return false;
}

std::string_view call_name(MessageKind kind)
{
    for (const CallName &c : kCallNames)
        if (c.kind == kind)
            return c.name;
    return {};
}

bool call_kind_from_name(std::string_view name, MessageKind &kind)
{
    for (const CallName &c : kCallNames) {
        if (c.name == name) {
            kind = c.kind;
            return true;
        }
    }
    return false;
}

std::string_view codec_error_text(CodecError error)
{
    switch (error) {
    case CodecError::Ok: return "ok";
    case CodecError::Truncated: return "truncated frame";
    case CodecError::Oversized: return "length above the protocol maximum";
    case CodecError::UnknownKind: return "unknown message kind";
    case CodecError::TrailingBytes: return "bytes after the last field";
    case CodecError::BadMagic: return "bad handshake magic";
    case CodecError::BadField: return "field value not allowed";
    case CodecError::BufferTooSmall: return "output buffer too small";
    }
    return "unknown codec error";
}

std::size_t encoded_request_size(const Request &request)
{
    std::size_t size = kFrameHeaderSize + kBodyHead + fixed_request_fields(request.kind);
    if (carries_record(request.kind))
        size += request.record.size();
    return size;
}

std::size_t encoded_answer_size(const Answer &answer)
{
    return kFrameHeaderSize + kBodyHead + 12 + answer.data.size();
}

CodecError encode_hello(const Hello &hello, MessageKind kind, std::vector<uint8_t> &out)
{
    return encode_hello_into(hello, kind, out, nullptr);
}

CodecError encode_hello(const Hello &hello, MessageKind kind, std::span<uint8_t> out,
                        std::size_t &written)
{
    return encode_hello_into(hello, kind, out, &written);
}

CodecError encode_request(const Request &request, std::vector<uint8_t> &out)
{
    return encode_request_into(request, out, nullptr);
}

CodecError encode_request(const Request &request, std::span<uint8_t> out, std::size_t &written)
{
    return encode_request_into(request, out, &written);
}

CodecError encode_answer(const Answer &answer, std::vector<uint8_t> &out)
{
    return encode_answer_into(answer, out, nullptr);
}

CodecError encode_answer(const Answer &answer, std::span<uint8_t> out, std::size_t &written)
{
    return encode_answer_into(answer, out, &written);
}

CodecError peek_kind(std::span<const uint8_t> body, MessageKind &kind)
{
    if (body.empty())
        return CodecError::Truncated;
    const uint8_t k = body[0];
    const bool known = k == static_cast<uint8_t>(MessageKind::Hello) ||
                       k == static_cast<uint8_t>(MessageKind::HelloAnswer) ||
                       k == static_cast<uint8_t>(MessageKind::Answer) ||
                       is_call_kind(static_cast<MessageKind>(k));
    if (!known)
        return CodecError::UnknownKind;
    kind = static_cast<MessageKind>(k);
    return CodecError::Ok;
}

CodecError decode_hello(std::span<const uint8_t> body, Hello &hello, MessageKind &kind)
{
    Reader in(body);
    uint8_t k = 0;
    uint32_t id = 0;
    std::span<const uint8_t> magic;
    if (!in.u8(k))
        return in.error();
    if (k != static_cast<uint8_t>(MessageKind::Hello) &&
        k != static_cast<uint8_t>(MessageKind::HelloAnswer))
        return CodecError::UnknownKind;
    Hello decoded;
    if (!in.u32(id) || !in.raw(4, magic))
        return in.error();
    if (std::memcmp(magic.data(), kMagic, sizeof kMagic) != 0)
        return CodecError::BadMagic;
    if (!in.u16(decoded.version) || !in.i32(decoded.status))
        return in.error();
    if (const CodecError e = in.finish(); e != CodecError::Ok)
        return e;
    hello = decoded;
    kind = static_cast<MessageKind>(k);
    return CodecError::Ok;
}

CodecError decode_request(std::span<const uint8_t> body, Request &request)
{
    Reader in(body);
    uint8_t k = 0;
    Request r;
    if (!in.u8(k))
        return in.error();
    r.kind = static_cast<MessageKind>(k);
    if (!is_call_kind(r.kind))
        return CodecError::UnknownKind;
    (void)in.u32(r.request_id);
    switch (r.kind) {
    case MessageKind::Login:
    case MessageKind::SetNewPassword: (void)in.blob(r.record); break;
    case MessageKind::GetInfo:
        (void)(in.i32(r.arg) && in.u32(r.capacity));
        break;
    case MessageKind::Tx:
        (void)(in.i32(r.facility_type) && in.blob(r.record));
        break;
    case MessageKind::Query:
        (void)(in.i32(r.facility_type) && in.i32(r.mode) && in.u32(r.capacity) && in.blob(r.record));
        break;
    case MessageKind::ReadEvent:
        (void)(in.i32(r.arg) && in.u32(r.capacity) && in.i32(r.flags) && in.i32(r.wait));
        break;
    case MessageKind::SetEvent:
    case MessageKind::ClearEvent:
        (void)(in.i32(r.arg) && in.blob(r.record));
        break;
    default: break;
    }
    if (const CodecError e = in.finish(); e != CodecError::Ok)
        return e;
    request = r;
    return CodecError::Ok;
}

CodecError decode_answer(std::span<const uint8_t> body, Answer &answer)
{
    Reader in(body);
    uint8_t k = 0;
    Answer a;
    if (!in.u8(k))
        return in.error();
    if (k != static_cast<uint8_t>(MessageKind::Answer))
        return CodecError::UnknownKind;
    (void)(in.u32(a.request_id) && in.i32(a.completion_status) &&
           in.i32(a.transaction_status) && in.blob(a.data));
    if (const CodecError e = in.finish(); e != CodecError::Ok)
        return e;
    answer = a;
    return CodecError::Ok;
}

CodecError find_frame(std::span<const uint8_t> buffered, std::span<const uint8_t> &body,
                      std::size_t &frame_size, std::size_t max_body)
{
    if (max_body > kMaxFrameBodySize)
        max_body = kMaxFrameBodySize;
    if (buffered.size() < kFrameHeaderSize)
        return CodecError::Truncated;
    const uint32_t length = get_u32(buffered.data());
    if (length > max_body)
        return CodecError::Oversized;
    if (length == 0)
        return CodecError::BadField; /* a body holds at least its kind byte */
    if (buffered.size() - kFrameHeaderSize < length)
        return CodecError::Truncated;
    body = buffered.subspan(kFrameHeaderSize, length);
    frame_size = kFrameHeaderSize + length;
    return CodecError::Ok;
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

std::size_t broadcast_buffer_size(std::span<const BroadcastItem> items)
{
    std::size_t size = 4 + 2;
    for (const BroadcastItem &item : items)
        size += 6 + item.body.size();
    return size;
}

/*
 * The whole batch is checked before anything is laid out: a malformed batch
 * is reported as malformed, never as a buffer too small (which tells the
 * caller to retry with a bigger buffer). An item without a body is refused:
 * its zero length field would end the vendor buffer there and hide every
 * item after it.
 */
CodecError layout_broadcast_buffer(std::span<const uint8_t> batch, std::span<uint8_t> out,
                                   std::size_t &written)
{
    Reader in(batch);
    uint32_t count = 0;
    if (!in.u32(count))
        return in.error();
    /* Each item takes at least 6 bytes: a count above that is a lie. */
    if (count > in.remaining() / 6)
        return CodecError::Truncated;
    std::size_t needed = 4 + 2;
    for (uint32_t i = 0; i < count; ++i) {
        uint16_t length = 0;
        std::span<const uint8_t> id;
        std::span<const uint8_t> body;
        if (!in.u16(length) || !in.raw(4, id) || !in.raw(length, body))
            return in.error();
        if (length == 0)
            return CodecError::BadField;
        needed += 6u + length;
    }
    if (const CodecError e = in.finish(); e != CodecError::Ok)
        return e;
    if (out.size() < needed)
        return CodecError::BufferTooSmall;

    std::memset(out.data(), 0, 4);
    std::size_t from = 4;
    std::size_t pos = 4;
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t length = get_u16(batch.data() + from);
        std::memcpy(out.data() + pos, &length, 2); /* host byte order */
        std::memcpy(out.data() + pos + 2, batch.data() + from + 2, 4u + length);
        from += 6u + length;
        pos += 6u + length;
    }
    out[pos] = 0;
    out[pos + 1] = 0;
    written = pos + 2;
    return CodecError::Ok;
}

}  // namespace gwproto
