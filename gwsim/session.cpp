/*
 * session.cpp - answers of the simulated gateway, request by request
 * (docs/protocol.md, "Answers, call by call"; docs/scenarios.md).
 */
#include "gwsim/session.h"

#include <algorithm>
#include <cstring>

namespace gwsim {

using gwproto::MessageKind;
using gwproto::Request;

namespace {

constexpr std::size_t kLoginMessageSize = 232;
constexpr std::size_t kSetNewPasswordSize = 64;
constexpr std::size_t kSubscriptionSize = 24;
constexpr std::size_t kUnsubscriptionSize = 8;
constexpr std::size_t kMaxFramedMessage = 64000; /* 4-byte prefix + 63996 payload bytes */

Outcome status(int32_t completion, int32_t transaction = 0)
{
    Outcome o;
    o.completion_status = completion;
    o.transaction_status = transaction;
    return o;
}

Outcome not_found() { return status(gwproto::kStatusGeneralFailure, gwproto::kStatusItemNotFound); }
Outcome invalid() { return status(gwproto::kStatusInvalidArgument); }

Outcome with_data(std::vector<uint8_t> data, uint32_t capacity)
{
    if (data.size() > capacity)
        return status(gwproto::kStatusBufferTooSmall);
    Outcome o;
    o.data = std::move(data);
    return o;
}

/* A text field of `width` bytes at `offset`: the bytes up to the first NUL.
 * False when the field has no NUL (the text would run past the field). */
bool text_field(std::span<const uint8_t> record, std::size_t offset, std::size_t width,
                std::string &text)
{
    const uint8_t *begin = record.data() + offset;
    const void *nul = std::memchr(begin, 0, width);
    if (nul == nullptr)
        return false;
    text.assign(reinterpret_cast<const char *>(begin),
                static_cast<std::size_t>(static_cast<const uint8_t *>(nul) - begin));
    return true;
}

void append_u32(std::vector<uint8_t> &out, uint32_t value) { gwproto::put_u32(out, value); }

/* The first object subscription whose clearKey is not below `key`. */
std::vector<std::pair<uint32_t, uint32_t>>::iterator
find_subscription(std::vector<std::pair<uint32_t, uint32_t>> &table, uint32_t key)
{
    return std::lower_bound(table.begin(), table.end(), key,
                            [](const auto &entry, uint32_t k) { return entry.first < k; });
}

/* A table that has emptied to below a quarter of its room gives the rest back. */
template <typename Table>
void give_back_room(Table &table)
{
    if (table.capacity() > 64 && table.size() < table.capacity() / 4)
        table.shrink_to_fit();
}

int32_t fault_arg(const Request &request)
{
    return request.arg; /* item, event code or event type; 0 for the others */
}

}  // namespace

/* ---- Gateway ------------------------------------------------------------ */

Gateway::Gateway(Scenario scenario) : scenario_(std::move(scenario)), users_(scenario_.users) {}

User *Gateway::find_user(const std::string &name)
{
    auto it = users_.find(name);
    return it == users_.end() ? nullptr : &it->second;
}

int32_t Gateway::next_order_id()
{
    last_order_id_ = last_order_id_ == INT32_MAX ? 1 : last_order_id_ + 1;
    return last_order_id_;
}

std::vector<uint8_t> info_object_list(const Scenario &scenario)
{
    std::vector<uint8_t> list;
    append_u32(list, static_cast<uint32_t>(scenario.info_objects.size()));
    for (std::size_t i = 0; i < scenario.info_objects.size(); ++i) {
        const InfoObject &object = scenario.info_objects[i];
        append_u32(list, static_cast<uint32_t>(i)); /* head bytes: the object's index */
        list.push_back(static_cast<uint8_t>(object.name.letters[0]));
        list.push_back(static_cast<uint8_t>(object.name.letters[1]));
        gwproto::put_u16(list, object.name.number);
        append_u32(list, 0);                        /* tail bytes */
        append_u32(list, object.auto_loaded ? 1 : 0);
    }
    return list;
}

/* ---- Session ------------------------------------------------------------ */

Session::Session(Gateway &gateway, uint64_t id)
    : gateway_(gateway), id_(id), fault_hits_(gateway.scenario().faults.size(), 0)
{
}

const Fault *Session::match_fault(const Request &request)
{
    const std::vector<Fault> &faults = gateway_.scenario().faults;
    const Fault *chosen = nullptr;
    for (std::size_t i = 0; i < faults.size(); ++i) {
        const Fault &fault = faults[i];
        if (fault.call != request.kind)
            continue;
        if (fault.arg && *fault.arg != fault_arg(request))
            continue;
        if (fault_hits_[i] < UINT32_MAX)
            ++fault_hits_[i];
        if (chosen == nullptr && (!fault.nth || *fault.nth == fault_hits_[i]))
            chosen = &fault;
    }
    return chosen;
}

Outcome Session::handle(const Request &request)
{
    const Fault *fault = match_fault(request);
    if (fault == nullptr)
        return process(request);

    Outcome outcome;
    if (fault->action == FaultAction::Close || fault->action == FaultAction::Hang) {
        outcome.action =
            fault->action == FaultAction::Close ? Outcome::Action::Close : Outcome::Action::Hang;
        outcome.delay_ms = fault->delay_ms;
        return outcome;
    }
    if (fault->completion_status && *fault->completion_status < 0) {
        /* A failing answer replaces the request: nothing happens, no data. */
        outcome = status(*fault->completion_status, fault->transaction_status.value_or(0));
    } else {
        outcome = process(request);
        if (fault->completion_status)
            outcome.completion_status = *fault->completion_status;
        if (fault->transaction_status)
            outcome.transaction_status = *fault->transaction_status;
        if (request.kind == MessageKind::Login) {
            const int32_t s = outcome.completion_status;
            if (s >= 0 && s != gwproto::kStatusPasswordExpired)
                state_ = LoginState::LoggedIn;
            else if (state_ == LoginState::LoggedIn)
                state_ = LoginState::Identified;
        }
    }
    outcome.delay_ms = fault->delay_ms;
    return outcome;
}

Outcome Session::process(const Request &request)
{
    switch (request.kind) {
    case MessageKind::Login: return login(request);
    case MessageKind::SetNewPassword: return set_new_password(request);
    case MessageKind::Close: {
        Outcome o;
        o.close_after_answer = true;
        return o;
    }
    default: break;
    }
    if (state_ != LoginState::LoggedIn)
        return status(gwproto::kStatusNotLoggedIn);
    switch (request.kind) {
    case MessageKind::Logout: return logout();
    case MessageKind::GetInfo: return get_info(request);
    case MessageKind::Tx: return transaction(request);
    case MessageKind::Query: return query(request);
    case MessageKind::ReadEvent: return read_event(request);
    case MessageKind::SetEvent: return set_event(request);
    case MessageKind::ClearEvent: return clear_event(request);
    default: return invalid();
    }
}

Outcome Session::login(const Request &request)
{
    state_ = LoginState::None;
    user_.clear();
    if (request.record.size() != kLoginMessageSize)
        return invalid();
    std::string name;
    std::string password;
    if (!text_field(request.record, 0, 32, name) || !text_field(request.record, 32, 32, password))
        return invalid();
    const User *user = gateway_.find_user(name);
    if (user == nullptr || user->password != password)
        return status(gwproto::kStatusInvalidUserOrPassword);
    user_ = name;
    if (user->password_expired) {
        state_ = LoginState::Identified;
        return status(gwproto::kStatusPasswordExpired);
    }
    state_ = LoginState::LoggedIn;
    return status(0);
}

Outcome Session::set_new_password(const Request &request)
{
    if (request.record.size() != kSetNewPasswordSize)
        return invalid();
    if (state_ == LoginState::None)
        return status(gwproto::kStatusNotLoggedIn);
    std::string old_password;
    std::string new_password;
    if (!text_field(request.record, 0, 32, old_password) ||
        !text_field(request.record, 32, 32, new_password) || new_password.empty())
        return invalid();
    User *user = gateway_.find_user(user_);
    if (user == nullptr || user->password != old_password)
        return status(gwproto::kStatusInvalidUserOrPassword);
    user->password = new_password;
    user->password_expired = false;
    return status(0);
}

Outcome Session::logout()
{
    state_ = LoginState::None;
    user_.clear();
    plain_subscriptions_ = {};
    object_subscriptions_ = {};
    return status(0);
}

Outcome Session::get_info(const Request &request)
{
    const Scenario &scenario = gateway_.scenario();
    std::vector<uint8_t> data;
    if (request.arg == 1) {
        const User *user = gateway_.find_user(user_);
        if (user != nullptr)
            data.assign(user->user_info.begin(), user->user_info.end());
        else
            data.assign(kUserInfoSize, ' ');
    } else if (request.arg == 2) {
        append_u32(data, static_cast<uint32_t>(scenario.facility_type));
    } else {
        return not_found();
    }
    return with_data(std::move(data), request.capacity);
}

Outcome Session::transaction(const Request &request)
{
    if (request.record.size() < 4 || request.record.size() > kMaxFramedMessage)
        return invalid();
    Outcome o;
    const uint64_t id = gateway_.next_transaction_id();
    append_u32(o.data, static_cast<uint32_t>(id >> 32));
    append_u32(o.data, static_cast<uint32_t>(id));
    append_u32(o.data, static_cast<uint32_t>(gateway_.next_order_id()));
    return o;
}

Outcome Session::query(const Request &request)
{
    if (request.record.size() < 4 || request.record.size() > kMaxFramedMessage)
        return invalid();
    const std::vector<uint8_t> &answer = gateway_.scenario().query_answer;
    if (answer.size() > request.capacity)
        return status(gwproto::kStatusBufferTooSmall);
    Outcome o;
    const uint64_t id = gateway_.next_transaction_id();
    append_u32(o.data, static_cast<uint32_t>(id >> 32));
    append_u32(o.data, static_cast<uint32_t>(id));
    o.data.insert(o.data.end(), answer.begin(), answer.end());
    return o;
}

Outcome Session::read_event(const Request &request)
{
    switch (request.arg) {
    case 1000: return with_data(gateway_.scenario().event_type_list, request.capacity);
    case 1002: return with_data(info_object_list(gateway_.scenario()), request.capacity);
    case 999: return read_broadcasts(request);
    default: return not_found();
    }
}

Outcome Session::read_broadcasts(const Request &request)
{
    const std::vector<BroadcastRead> &reads = gateway_.scenario().broadcast_reads;
    if (broadcast_position_ >= reads.size())
        return status(gwproto::kStatusNoBroadcasts);
    const BroadcastRead &read = reads[broadcast_position_];
    if (read.status < 0) {
        ++broadcast_position_;
        return status(read.status);
    }
    std::vector<gwproto::BroadcastItem> items;
    for (const Broadcast &b : read.broadcasts) {
        gwproto::BroadcastItem item;
        item.letters[0] = b.name.letters[0];
        item.letters[1] = b.name.letters[1];
        item.number = b.name.number;
        item.body = b.body;
        items.push_back(item);
    }
    if (gwproto::broadcast_buffer_size(items) > request.capacity)
        return status(gwproto::kStatusBufferTooSmall); /* the read stays for the next try */
    Outcome o;
    o.completion_status = read.status;
    if (gwproto::encode_broadcast_batch(items, o.data) != gwproto::CodecError::Ok)
        return status(gwproto::kStatusGeneralFailure);
    ++broadcast_position_;
    return o;
}

Outcome Session::set_event(const Request &request)
{
    if (request.arg != 1) {
        if (!request.record.empty())
            return invalid();
        const auto at = std::lower_bound(plain_subscriptions_.begin(), plain_subscriptions_.end(),
                                         request.arg);
        if (at != plain_subscriptions_.end() && *at == request.arg)
            return status(0);
        if (plain_subscriptions_.size() >= kMaxSubscriptionsPerSession)
            return status(gwproto::kStatusGeneralFailure);
        plain_subscriptions_.insert(at, request.arg);
        return status(0);
    }
    if (request.record.size() != kSubscriptionSize || gwproto::get_u32(request.record.data()) != 24)
        return invalid();
    /* The record's key starts at 4; its broadcast id at 4 + 4. */
    const uint8_t *id = request.record.data() + 8;
    const std::vector<InfoObject> &objects = gateway_.scenario().info_objects;
    std::size_t index = objects.size();
    for (std::size_t i = 0; i < objects.size(); ++i) {
        const BroadcastName &name = objects[i].name;
        if (static_cast<uint8_t>(name.letters[0]) == id[0] &&
            static_cast<uint8_t>(name.letters[1]) == id[1] &&
            name.number == gwproto::get_u16(id + 2)) {
            index = i;
            break;
        }
    }
    uint32_t clear_key = 0;
    int32_t reply_status = gwproto::kStatusItemNotFound;
    if (index < objects.size()) {
        reply_status = objects[index].reply_status;
        if (reply_status == 0) {
            if (object_subscriptions_.size() >= kMaxSubscriptionsPerSession)
                return status(gwproto::kStatusGeneralFailure);
            /* Keys count up, so the new one normally goes at the end; after
               the counter wraps, keys still in use are skipped. */
            auto at = object_subscriptions_.end();
            do {
                clear_key = ++last_clear_key_;
                at = find_subscription(object_subscriptions_, clear_key);
            } while (clear_key == 0 ||
                     (at != object_subscriptions_.end() && at->first == clear_key));
            object_subscriptions_.insert(at, {clear_key, static_cast<uint32_t>(index)});
        }
    }
    Outcome o;
    append_u32(o.data, clear_key);
    append_u32(o.data, static_cast<uint32_t>(reply_status));
    return o;
}

Outcome Session::clear_event(const Request &request)
{
    if (request.arg != 1) {
        if (!request.record.empty())
            return invalid();
        const auto at = std::lower_bound(plain_subscriptions_.begin(), plain_subscriptions_.end(),
                                         request.arg);
        if (at == plain_subscriptions_.end() || *at != request.arg)
            return not_found();
        plain_subscriptions_.erase(at);
        give_back_room(plain_subscriptions_);
        return status(0);
    }
    if (request.record.size() != kUnsubscriptionSize || gwproto::get_u32(request.record.data()) != 8)
        return invalid();
    const uint32_t clear_key = gwproto::get_u32(request.record.data() + 4);
    const auto at = find_subscription(object_subscriptions_, clear_key);
    if (at == object_subscriptions_.end() || at->first != clear_key)
        return not_found();
    object_subscriptions_.erase(at);
    give_back_room(object_subscriptions_);
    return status(0);
}

}  // namespace gwsim
