/*
 * session.h - the simulated gateway's behaviour, apart from the network.
 *
 * Gateway holds what all sessions share: the scenario, the users' current
 * passwords (a changed password holds for the rest of the process) and the
 * transaction and order counters. Session holds one connection's state:
 * login, subscriptions, position in the broadcast reads, fault counters.
 * Session::handle turns one decoded request into an Outcome: an answer (with
 * an optional delay), or a fault's "close the connection" or "never answer".
 */
#ifndef GWSIM_SESSION_H
#define GWSIM_SESSION_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "gwsim/scenario.h"
#include "protocol/protocol.h"

namespace gwsim {

/* Bounds on what one session may hold. */
constexpr std::size_t kMaxSubscriptionsPerSession = 4096;

class Gateway {
public:
    explicit Gateway(Scenario scenario);

    const Scenario &scenario() const { return scenario_; }

    /* The user's current state, or nullptr for an unknown user. */
    User *find_user(const std::string &name);

    /* Fresh identifiers for transactions and orders, process-wide. */
    uint64_t next_transaction_id() { return ++last_transaction_id_; }
    int32_t next_order_id();
    uint64_t next_session_id() { return ++last_session_id_; }

private:
    Scenario scenario_;
    std::map<std::string, User> users_; /* current passwords and expiry */
    uint64_t last_transaction_id_ = 0;
    int32_t last_order_id_ = 0;
    uint64_t last_session_id_ = 0;
};

struct Outcome {
    enum class Action { Answer, Close, Hang };
    Action action = Action::Answer;
    uint32_t delay_ms = 0;           /* wait this long before answering or closing */
    int32_t completion_status = 0;
    int32_t transaction_status = 0;
    std::vector<uint8_t> data;
    bool close_after_answer = false; /* the Close request */
};

class Session {
public:
    Session(Gateway &gateway, uint64_t id);

    uint64_t id() const { return id_; }
    bool logged_in() const { return state_ == LoginState::LoggedIn; }

    /* Processes one request (never Hello) and says what to send. */
    Outcome handle(const gwproto::Request &request);

private:
    enum class LoginState {
        None,       /* no valid login attempt yet */
        Identified, /* user and password right, but the password has expired */
        LoggedIn,
    };

    const Fault *match_fault(const gwproto::Request &request);
    Outcome process(const gwproto::Request &request);
    Outcome login(const gwproto::Request &request);
    Outcome set_new_password(const gwproto::Request &request);
    Outcome logout();
    Outcome get_info(const gwproto::Request &request);
    Outcome transaction(const gwproto::Request &request);
    Outcome query(const gwproto::Request &request);
    Outcome read_event(const gwproto::Request &request);
    Outcome read_broadcasts(const gwproto::Request &request);
    Outcome set_event(const gwproto::Request &request);
    Outcome clear_event(const gwproto::Request &request);

    Gateway &gateway_;
    uint64_t id_;
    LoginState state_ = LoginState::None;
    std::string user_;
    /* Sorted vectors, not trees: 4 and 8 bytes per subscription instead of
       a node of 40 or more, and they give their room back as they empty. */
    std::vector<int32_t> plain_subscriptions_;                         /* event types */
    std::vector<std::pair<uint32_t, uint32_t>> object_subscriptions_; /* (clearKey, object index) */
    uint32_t last_clear_key_ = 0;
    std::size_t broadcast_position_ = 0;
    std::vector<uint32_t> fault_hits_; /* per scenario fault: matching requests so far */
};

/* The information-object list (answer to event code 1002) of a scenario. */
std::vector<uint8_t> info_object_list(const Scenario &scenario);

}  // namespace gwsim

#endif
