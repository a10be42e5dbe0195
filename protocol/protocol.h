/*
 * protocol.h - the wire protocol between libgwapi.so and gwsim: frames,
 * the version handshake, one request message per networked gateway call,
 * the answer message, the statuses the library and the simulator produce
 * themselves, and the codec that encodes and checks all of it.
 *
 * docs/protocol.md describes the same format byte by byte.
 *
 * Decoding never trusts a length: every decode function checks the bytes it
 * is given and returns a CodecError for truncated, oversized or malformed
 * input instead of reading past them. Decoded byte fields are views into the
 * caller's buffer (no allocation); encoding writes into a caller's buffer or
 * appends to a std::vector. Nothing here throws.
 */
#ifndef PROTOCOL_PROTOCOL_H
#define PROTOCOL_PROTOCOL_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace gwproto {

/* ---- constants ---------------------------------------------------------- */

/* Protocol version spoken by this codec; the handshake compares it. */
constexpr uint16_t kProtocolVersion = 1;

/* The four bytes that open both handshake messages: "GWSP". */
constexpr uint8_t kMagic[4] = {'G', 'W', 'S', 'P'};

/* Every frame: a 4-byte big-endian body length, then the body. */
constexpr std::size_t kFrameHeaderSize = 4;

/* Largest byte field (record or answer data) any message may carry. */
constexpr std::size_t kMaxDataSize = 65536;

/* Largest frame body accepted by either side: the biggest message is one
 * byte field plus at most 21 bytes of fixed fields. */
constexpr std::size_t kMaxFrameBodySize = kMaxDataSize + 64;

/* Largest frame, header included: a receive buffer of this size always fits. */
constexpr std::size_t kMaxFrameSize = kFrameHeaderSize + kMaxFrameBodySize;

/* ---- statuses produced by the library and the simulator ------------------- */
/*
 * Completion statuses that do not come from the vendor's own set. The
 * gateway side (gwsim) answers kStatusNotLoggedIn, kStatusInvalidUserOrPassword
 * and kStatusInvalidArgument; the others are produced by the client library.
 */
constexpr int32_t kStatusNotConnected = -9001;          /* no connection: login first */
constexpr int32_t kStatusNotLoggedIn = -9002;           /* request needs a login */
constexpr int32_t kStatusInvalidUserOrPassword = -9003; /* unknown user or wrong password */
constexpr int32_t kStatusConnectionLost = -9004;        /* peer closed or reset */
constexpr int32_t kStatusConnectTimeout = -9005;        /* connect did not finish in time */
constexpr int32_t kStatusAnswerTimeout = -9006;         /* no answer in time */
constexpr int32_t kStatusProtocolError = -9007;         /* malformed or unexpected frame */
constexpr int32_t kStatusConnectFailed = -9008;         /* refused, unreachable, unresolved */
constexpr int32_t kStatusInvalidArgument = -9009;       /* bad pointer, length or record */
constexpr int32_t kStatusVersionMismatch = -9010;       /* peer speaks another version */
constexpr int32_t kStatusNameNotResolved = -9011;       /* host name did not resolve */
constexpr int32_t kStatusMessageLength = -9012;         /* framed message length out of range */

/* Vendor statuses the simulator uses. */
constexpr int32_t kStatusGeneralFailure = -1;
constexpr int32_t kStatusBufferTooSmall = -13;
constexpr int32_t kStatusNoBroadcasts = -26;
constexpr int32_t kStatusPasswordExpired = 2027;
constexpr int32_t kStatusItemNotFound = -600164;

/* ---- messages ----------------------------------------------------------- */

/* First byte of every frame body. Requests 0x01..0x7f, answers 0x80..0xff. */
enum class MessageKind : uint8_t {
    Hello = 0x01,          /* client -> server, first frame of a connection */
    Login = 0x10,          /* gwapi_login_ex */
    SetNewPassword = 0x11, /* gwapi_set_newpwd_ex */
    Logout = 0x12,         /* gwapi_logout_ex */
    GetInfo = 0x13,        /* gwapi_get_info_ex */
    Tx = 0x14,             /* gwapi_tx_ex */
    Query = 0x15,          /* gwapi_query_ex */
    ReadEvent = 0x16,      /* gwapi_read_event_ext_ex */
    SetEvent = 0x17,       /* gwapi_set_event_ex */
    ClearEvent = 0x18,     /* gwapi_clear_event_ex */
    Close = 0x19,          /* gwapi_close_session: the server answers, then closes */
    HelloAnswer = 0x81,    /* server -> client, answer to Hello */
    Answer = 0x90,         /* server -> client, answer to every other request */
};

/* True for the request kinds Login..Close. */
bool is_call_kind(MessageKind kind);

/* The vendor function a request kind stands for ("gwapi_login_ex", ...);
 * "" for kinds that are no call. */
std::string_view call_name(MessageKind kind);

/* The request kind of a vendor function name; false when there is none. */
bool call_kind_from_name(std::string_view name, MessageKind &kind);

/* Handshake, both directions. `status` is 0 (accepted) or
 * kStatusVersionMismatch; a client request carries 0. */
struct Hello {
    uint16_t version = kProtocolVersion;
    int32_t status = 0;
};

/*
 * A request. Which fields a kind carries (everything else is 0 / empty):
 *   Login            record = the 232-byte login message
 *   SetNewPassword   record = the 64-byte set-new-password message
 *   Logout, Close    nothing
 *   GetInfo          arg = item, capacity = the caller's length word
 *   Tx               facility_type, record = the framed message
 *   Query            facility_type, mode, capacity = the caller's answer length,
 *                    record = the framed message
 *   ReadEvent        arg = event code, capacity = the caller's length,
 *                    flags, wait
 *   SetEvent         arg = event type, record = the subscription record or empty
 *   ClearEvent       arg = event type, record = the unsubscription record or empty
 * `record` is a view: into the decoded frame, or the caller's bytes to encode.
 */
struct Request {
    MessageKind kind = MessageKind::Logout;
    uint32_t request_id = 0;
    int32_t arg = 0;
    int32_t facility_type = 0;
    int32_t mode = 0;
    uint32_t capacity = 0;
    int32_t flags = 0;
    int32_t wait = 0;
    std::span<const uint8_t> record;
};

/* The answer to one request; `data` is call-specific (docs/protocol.md). */
struct Answer {
    uint32_t request_id = 0;
    int32_t completion_status = 0;
    int32_t transaction_status = 0;
    std::span<const uint8_t> data;
};

/* ---- codec -------------------------------------------------------------- */

enum class CodecError {
    Ok = 0,
    Truncated,        /* the bytes end inside a field */
    Oversized,        /* a length above the protocol's maximum */
    UnknownKind,      /* first byte names no message of this direction */
    TrailingBytes,    /* bytes left after the last field */
    BadMagic,         /* handshake does not start with "GWSP" */
    BadField,         /* a field value the kind does not allow */
    BufferTooSmall,   /* the output buffer cannot hold the result */
};

/* One short English text per error, e.g. "truncated frame". */
std::string_view codec_error_text(CodecError error);

/*
 * Encoding. Each function appends one complete frame (header and body) to
 * `out`, or, in the span form, writes it at the start of `out` and stores its
 * size in `written`. Fails with Oversized when a byte field is larger than
 * kMaxDataSize and with BufferTooSmall when the span is too short.
 */
CodecError encode_hello(const Hello &hello, MessageKind kind, std::vector<uint8_t> &out);
CodecError encode_request(const Request &request, std::vector<uint8_t> &out);
CodecError encode_answer(const Answer &answer, std::vector<uint8_t> &out);
CodecError encode_hello(const Hello &hello, MessageKind kind, std::span<uint8_t> out,
                        std::size_t &written);
CodecError encode_request(const Request &request, std::span<uint8_t> out, std::size_t &written);
CodecError encode_answer(const Answer &answer, std::span<uint8_t> out, std::size_t &written);

/* Bytes encode_request / encode_answer would produce (no check). */
std::size_t encoded_request_size(const Request &request);
std::size_t encoded_answer_size(const Answer &answer);

/* Kind of a frame body (its first byte), or UnknownKind / Truncated. */
CodecError peek_kind(std::span<const uint8_t> body, MessageKind &kind);

/*
 * Decoding of one frame body (without its 4-byte header). decode_hello
 * accepts Hello or HelloAnswer and reports which in `kind`. decode_request
 * accepts the call kinds only; decode_answer the Answer kind only. Views in
 * the result point into `body`.
 */
CodecError decode_hello(std::span<const uint8_t> body, Hello &hello, MessageKind &kind);
CodecError decode_request(std::span<const uint8_t> body, Request &request);
CodecError decode_answer(std::span<const uint8_t> body, Answer &answer);

/* ---- frames ------------------------------------------------------------- */

/*
 * Looks for one complete frame at the start of `buffered`. Ok: `body` views
 * the frame's body and `frame_size` is header plus body, the bytes to consume.
 * Truncated: not all of the frame is there yet (read more). Oversized: the
 * header announces a body above `max_body` (kMaxFrameBodySize at most): the
 * stream cannot be trusted any more. Meant for a client that reads into a
 * fixed buffer of kMaxFrameSize bytes.
 */
CodecError find_frame(std::span<const uint8_t> buffered, std::span<const uint8_t> &body,
                      std::size_t &frame_size, std::size_t max_body = kMaxFrameBodySize);

/*
 * Splits a byte stream into frames for a reader that receives arbitrary
 * chunks (the asio server, or a test). Holds at most one frame plus what was
 * appended after it. Usage:
 *     splitter.append(chunk);
 *     while (splitter.next(body) == CodecError::Ok) handle(body);
 * or, to read straight into it, without a buffer of the reader's own:
 *     std::span<uint8_t> room = splitter.prepare();
 *     n = read(socket, room.data(), room.size());
 *     splitter.commit(n);
 * next() answers Truncated when it needs more bytes and Oversized once the
 * stream announced a frame above the limit; after Oversized it stays broken.
 * A body returned by next() is valid until the following append() or next().
 *
 * Its memory follows what it holds, not the largest frame it could hold: it
 * grows as a vector does but never past the frame being assembled, and once
 * a frame is taken, room beyond `keep` bytes that nothing needs is given back.
 * So a reader that waits costs `keep` bytes here, and a partial frame at most
 * twice what it holds, and never more than the frame.
 */
class FrameSplitter {
public:
    explicit FrameSplitter(std::size_t max_body = kMaxFrameBodySize);

    /* Adds received bytes. Refuses (returns false, keeps nothing) bytes that
     * would make the held bytes exceed one maximal frame plus `chunk_slack`. */
    bool append(std::span<const uint8_t> bytes);
    CodecError next(std::span<const uint8_t> &body);

    /* Room for the next read after the held bytes: at least `keep` bytes,
     * and for a large frame as much as is held, up to what the frame still
     * lacks (within the same bound as append). commit(n) then holds the
     * first n bytes of it; no other call may come between the two. */
    std::span<uint8_t> prepare();
    void commit(std::size_t count);

    std::size_t buffered() const { return held_.size() - consumed_; }
    bool broken() const { return broken_; }
    /* Bytes of memory taken for the held bytes. */
    std::size_t capacity() const { return held_.capacity(); }

    /* Bytes that append() accepts beyond one maximal frame. */
    static constexpr std::size_t chunk_slack = 64 * 1024;
    /* Room kept when less is needed, so that small requests reuse it. */
    static constexpr std::size_t keep = 1024;

private:
    void compact();
    void fit(std::size_t needed);

    std::size_t max_body_;
    std::vector<uint8_t> held_;
    std::size_t consumed_ = 0;
    std::size_t prepared_ = 0; /* held bytes before the room prepare() gave */
    bool broken_ = false;
};

/* ---- call-specific answer data ------------------------------------------ */

/* Answer data of gwapi_tx_ex: 8 bytes transaction id, big-endian order id. */
constexpr std::size_t kTxAnswerSize = 12;
/* Answer data of gwapi_query_ex starts with the 8-byte transaction id. */
constexpr std::size_t kTransactionIdSize = 8;
/* Answer data of gwapi_set_event_ex for type 1: bytes 16..23 of the record. */
constexpr std::size_t kSubscriptionAnswerSize = 8;
constexpr std::size_t kSubscriptionAnswerOffset = 16;

/* One broadcast of an event-code-999 answer. `body` is a view. */
struct BroadcastItem {
    char letters[2] = {0, 0};
    uint16_t number = 0;
    std::span<const uint8_t> body;
};

/*
 * Broadcast batch (answer data of an event-code-999 read): big-endian uint32
 * count, then per item a big-endian uint16 body length, the two letters, the
 * big-endian uint16 number and the body. encode appends the batch to `out`.
 */
CodecError encode_broadcast_batch(std::span<const BroadcastItem> items, std::vector<uint8_t> &out);

/* Size of the vendor broadcast buffer built from these items: 4 unread bytes,
 * each item's 6-byte head and body, and the 2-byte zero length that ends it. */
std::size_t broadcast_buffer_size(std::span<const BroadcastItem> items);

/*
 * Checks a broadcast batch and lays it out as the vendor broadcast buffer in
 * `out`: 4 zero bytes, per item the body length as a host-order uint16, the two
 * letters, the number big-endian, the body; then a zero length. `written`
 * receives the size used. BufferTooSmall when it does not fit `out`; Truncated,
 * Oversized or TrailingBytes when the batch is malformed (nothing is trusted),
 * BadField for an item without a body (a zero length ends the vendor buffer).
 * A malformed batch is reported as such whatever the size of `out`.
 */
CodecError layout_broadcast_buffer(std::span<const uint8_t> batch, std::span<uint8_t> out,
                                   std::size_t &written);

/* ---- big-endian helpers --------------------------------------------------- */

void put_u16(std::vector<uint8_t> &out, uint16_t value);
void put_u32(std::vector<uint8_t> &out, uint32_t value);
uint16_t get_u16(const uint8_t *bytes);
uint32_t get_u32(const uint8_t *bytes);

}  // namespace gwproto

#endif
