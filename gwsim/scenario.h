/*
 * scenario.h - what a gwsim scenario file describes, and its loader.
 *
 * A scenario fixes everything the simulated gateway answers: users and
 * their passwords, user information, facility type, the event-type and
 * information-object lists, the successive broadcast reads, the query
 * answer, and faults that replace the answers of chosen requests. The
 * loader checks every key and value (docs/scenarios.md) and reports the
 * first problem as one line naming the file, the key and what is wrong.
 */
#ifndef GWSIM_SCENARIO_H
#define GWSIM_SCENARIO_H

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/protocol.h"

namespace gwsim {

/* Longest user name and password: their fields are 32 bytes with a NUL. */
constexpr std::size_t kMaxNameLength = 31;
/* Size of the user information answer. */
constexpr std::size_t kUserInfoSize = 12;
/* Largest vendor broadcast buffer one scenario read may need. */
constexpr std::size_t kMaxBroadcastBufferSize = 64000;

struct User {
    std::string password;
    std::array<uint8_t, kUserInfoSize> user_info{}; /* blank padded */
    bool password_expired = false;
};

/* A broadcast name: two letters and a number, "BN1". */
struct BroadcastName {
    char letters[2] = {0, 0};
    uint16_t number = 0;
};

struct InfoObject {
    BroadcastName name;
    bool auto_loaded = false;
    int32_t reply_status = 0;
};

struct Broadcast {
    BroadcastName name;
    std::vector<uint8_t> body;
};

struct BroadcastRead {
    int32_t status = 0;
    std::vector<Broadcast> broadcasts;
};

enum class FaultAction { Answer, Close, Hang };

struct Fault {
    gwproto::MessageKind call = gwproto::MessageKind::Login;
    std::optional<int32_t> arg;
    std::optional<uint32_t> nth;
    std::optional<int32_t> completion_status;
    std::optional<int32_t> transaction_status;
    uint32_t delay_ms = 0;
    FaultAction action = FaultAction::Answer;
};

/*
 * How gwsim treats connections, apart from what it answers: a client must
 * finish the handshake within handshake_timeout_ms of connecting; a session
 * whose client sends no request for idle_timeout_ms after its last answer
 * is closed; at most max_connections are served at once (more wait in the
 * listen backlog). The command line can override each.
 */
struct ConnectionLimits {
    uint32_t handshake_timeout_ms = 2000;
    uint32_t idle_timeout_ms = 60000;
    uint32_t max_connections = 4096;
};

/* Bounds of the limits, for the scenario file and the command line. */
constexpr uint32_t kMaxTimeoutMs = 86400000; /* a day */
constexpr uint32_t kMaxConnectionLimit = 1000000;

struct Scenario {
    ConnectionLimits limits;
    int32_t facility_type = 0;
    std::vector<uint8_t> query_answer;
    std::map<std::string, User> users;
    std::vector<uint8_t> event_type_list; /* with its terminating zero byte, if any */
    std::vector<InfoObject> info_objects;
    std::vector<BroadcastRead> broadcast_reads;
    std::vector<Fault> faults;
};

/*
 * Parses scenario text. `file` only names the source in error lines.
 * On failure returns false and sets `error` to one line (no line end):
 * "FILE: KEY: what is wrong" (or "FILE: line L, column C: ..." for syntax).
 */
bool parse_scenario(std::string_view text, const std::string &file, Scenario &scenario,
                    std::string &error);

/* Reads and parses a scenario file; the same error form, also for a file
 * that cannot be read. */
bool load_scenario(const std::string &file, Scenario &scenario, std::string &error);

/* "BN1" from a name. */
std::string broadcast_name_text(const BroadcastName &name);

/* Parses "BN1": two ASCII letters, then 0..65535 without leading zeros. */
bool parse_broadcast_name(std::string_view text, BroadcastName &name);

}  // namespace gwsim

#endif
