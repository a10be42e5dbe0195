/*
 * gwsim_requests_fuzz.cpp - the bytes a client sends, read the way the
 * simulator reads them: the stream split into frames, the handshake first,
 * then requests decoded, written to the journal and handled by a session of
 * a small fixed scenario, until a frame is refused or the session closes.
 *
 * Checks beyond ASan/UBSan:
 *  - the frames do not depend on how the stream was cut: the whole input at
 *    once and the same bytes in small, uneven chunks give the same frames;
 *  - a decoded request encodes back to exactly the bytes of its frame;
 *  - its journal line names the call and carries the record with every
 *    password byte zeroed;
 *  - every answer fits a frame, and a list or broadcast read that succeeds
 *    delivers no more than the request's capacity allows.
 */
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "gwsim/journal.h"
#include "gwsim/scenario.h"
#include "gwsim/session.h"
#include "protocol/protocol.h"
#include "tests/fuzz/fuzz_check.h"

using gwproto::CodecError;
using gwproto::MessageKind;

namespace {

/* Two users (one with an expired password), both lists, three broadcast
 * reads and faults of every action, so that most paths of a session can be
 * reached by a short stream. */
const char kScenarioText[] = R"(
facility_type = 5
query_answer = "0011aabb"
[users.demo]
password = "demo-pass"
user_info = "XYABCDE"
[users.old]
password = "old-pass"
password_expired = true
[event_types]
list = "1,7,9"
[[info_objects]]
name = "BO5"
[[info_objects]]
name = "BI7"
auto_loaded = true
[[info_objects]]
name = "BO6"
reply_status = 5
[[broadcast_reads]]
broadcasts = [ { name = "BO5", body = "0102" }, { name = "BN1", network_status = 1 } ]
[[broadcast_reads]]
status = -1
[[broadcast_reads]]
broadcasts = [ { name = "BN10", body = "00" } ]
[[faults]]
call = "gwapi_get_info_ex"
arg = 2
nth = 2
completion_status = -1
transaction_status = -600164
[[faults]]
call = "gwapi_query_ex"
action = "hang"
[[faults]]
call = "gwapi_clear_event_ex"
arg = 9
action = "close"
)";

gwsim::Scenario scenario;

/* The frames one way of feeding the stream yields, in order. */
std::vector<std::vector<uint8_t>> SplitStream(std::span<const uint8_t> stream, bool whole) {
    static constexpr size_t kChunkSizes[] = {1, 3, 2, 7, 5, 64, 11, 4096};
    std::vector<std::vector<uint8_t>> frames;
    gwproto::FrameSplitter splitter;
    size_t at = 0;
    size_t chunk = 0;
    while (at < stream.size()) {
        size_t take = whole ? stream.size() : kChunkSizes[chunk++ % std::size(kChunkSizes)];
        take = std::min(take, stream.size() - at);
        FUZZ_CHECK(splitter.append(stream.subspan(at, take)));
        at += take;
        std::span<const uint8_t> body;
        CodecError error;
        while ((error = splitter.next(body)) == CodecError::Ok) {
            FUZZ_CHECK(!body.empty() && body.size() <= gwproto::kMaxFrameBodySize);
            frames.emplace_back(body.begin(), body.end());
        }
        if (error != CodecError::Truncated) {
            FUZZ_CHECK(splitter.broken());
            break;
        }
    }
    return frames;
}

/* The record as the journal must show it: hex, password fields zeroed. */
std::string JournalHex(const gwproto::Request &request) {
    std::vector<uint8_t> record(request.record.begin(), request.record.end());
    auto zero = [&record](size_t offset) {
        for (size_t i = offset; i < offset + 32 && i < record.size(); ++i) {
            record[i] = 0;
        }
    };
    if (request.kind == MessageKind::Login) {
        zero(32);
    } else if (request.kind == MessageKind::SetNewPassword) {
        zero(0);
        zero(32);
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t byte : record) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

void CheckJournalLine(uint64_t session_id, const gwproto::Request &request) {
    const std::string line = gwsim::journal_line(session_id, request);
    FUZZ_CHECK(line.find('\n') == std::string::npos);
    FUZZ_CHECK(line.front() == '{' && line.back() == '}');
    const std::string call = "\"call\":\"" + std::string(gwproto::call_name(request.kind)) + "\"";
    FUZZ_CHECK(line.find(call) != std::string::npos);
    const std::string hex = ",\"message_hex\":\"" + JournalHex(request) + "\"}";
    FUZZ_CHECK(line.size() >= hex.size() &&
               line.compare(line.size() - hex.size(), hex.size(), hex) == 0);
}

/* What a successful answer may deliver, against the request's capacity. */
void CheckAnswerFits(const gwproto::Request &request, const gwsim::Outcome &outcome) {
    gwproto::Answer answer;
    answer.request_id = request.request_id;
    answer.completion_status = outcome.completion_status;
    answer.transaction_status = outcome.transaction_status;
    answer.data = outcome.data;
    std::vector<uint8_t> encoded;
    FUZZ_CHECK(gwproto::encode_answer(answer, encoded) == CodecError::Ok);

    if (request.kind != MessageKind::ReadEvent || outcome.completion_status < 0) {
        return;
    }
    if (request.arg == 999) {
        /* The library lays the batch out in a buffer of the request's capacity. */
        std::vector<uint8_t> buffer(std::min<size_t>(request.capacity, 1u << 20));
        size_t written = 0;
        FUZZ_CHECK(gwproto::layout_broadcast_buffer(outcome.data, buffer, written) ==
                   CodecError::Ok);
    } else {
        FUZZ_CHECK(outcome.data.size() <= request.capacity);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::string error;
    FUZZ_CHECK(gwsim::parse_scenario(kScenarioText, "fuzz.toml", scenario, error));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::span<const uint8_t> stream(data, size);
    const std::vector<std::vector<uint8_t>> frames = SplitStream(stream, true);
    FUZZ_CHECK(SplitStream(stream, false) == frames);
    if (frames.empty()) {
        return 0;
    }

    gwproto::Hello hello;
    MessageKind kind{};
    if (gwproto::decode_hello(frames[0], hello, kind) != CodecError::Ok ||
        kind != MessageKind::Hello || hello.version != gwproto::kProtocolVersion) {
        return 0; /* refused or answered with a version mismatch, then closed */
    }

    gwsim::Gateway gateway(scenario);
    gwsim::Session session(gateway, gateway.next_session_id());
    for (size_t i = 1; i < frames.size(); ++i) {
        const std::vector<uint8_t> &body = frames[i];
        gwproto::Request request;
        if (gwproto::decode_request(body, request) != CodecError::Ok) {
            return 0;
        }
        FUZZ_CHECK(request.record.size() <= gwproto::kMaxDataSize);
        std::vector<uint8_t> encoded;
        FUZZ_CHECK(gwproto::encode_request(request, encoded) == CodecError::Ok);
        FUZZ_CHECK(encoded.size() == gwproto::kFrameHeaderSize + body.size());
        FUZZ_CHECK(std::memcmp(encoded.data() + gwproto::kFrameHeaderSize, body.data(),
                               body.size()) == 0);

        CheckJournalLine(session.id(), request);
        const gwsim::Outcome outcome = session.handle(request);
        if (outcome.action == gwsim::Outcome::Action::Close) {
            return 0;
        }
        if (outcome.action == gwsim::Outcome::Action::Answer) {
            CheckAnswerFits(request, outcome);
            if (outcome.close_after_answer) {
                return 0;
            }
        }
    }
    return 0;
}
