/*
 * scenario.cpp - reads a scenario file with toml++ and checks every key
 * and value. The first problem ends the load with one line naming the
 * file, the key (as a dotted path, arrays of tables with their 0-based
 * index: "info_objects[1].name") and what is wrong.
 */
#include "gwsim/scenario.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>

#include <toml++/toml.h>

namespace gwsim {

namespace {

/* A scenario file larger than this is refused before parsing. */
constexpr std::size_t kMaxScenarioFileSize = 4 * 1024 * 1024;
/* Information objects that fit the list's 64 KiB: 4 + 16 * count bytes. */
constexpr std::size_t kMaxInfoObjects = (gwproto::kMaxDataSize - 4) / 16;
constexpr std::size_t kMaxBroadcastReads = 100000;
constexpr std::size_t kMaxFaults = 1000;
constexpr int64_t kMaxDelayMs = 600000;

/* Thrown inside the loader only, caught by parse_scenario. */
struct ScenarioError {
    std::string key;
    std::string what;
    uint32_t line = 0;
};

[[noreturn]] void fail(const std::string &key, const std::string &what, const toml::node *node)
{
    ScenarioError e{key, what, 0};
    if (node != nullptr)
        e.line = node->source().begin.line;
    throw e;
}

std::string join(const std::string &prefix, std::string_view key)
{
    return prefix.empty() ? std::string(key) : prefix + "." + std::string(key);
}

void check_keys(const toml::table &table, const std::string &path,
                std::initializer_list<std::string_view> allowed)
{
    for (const auto &[key, node] : table) {
        bool known = false;
        for (std::string_view a : allowed)
            known = known || key.str() == a;
        if (!known)
            fail(join(path, key.str()), "unknown key", &node);
    }
}

const char *type_name(const toml::node &node)
{
    switch (node.type()) {
    case toml::node_type::table: return "a table";
    case toml::node_type::array: return "an array";
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a number with a fraction";
    case toml::node_type::boolean: return "a boolean";
    default: return "a date or time";
    }
}

int64_t get_integer(const toml::node &node, const std::string &key, int64_t min, int64_t max)
{
    const auto *value = node.as_integer();
    if (value == nullptr)
        fail(key, std::string("must be an integer, not ") + type_name(node), &node);
    const int64_t v = value->get();
    if (v < min || v > max)
        fail(key, "must be between " + std::to_string(min) + " and " + std::to_string(max) +
                      ", not " + std::to_string(v),
             &node);
    return v;
}

int32_t get_int32(const toml::node &node, const std::string &key)
{
    return static_cast<int32_t>(get_integer(node, key, INT32_MIN, INT32_MAX));
}

bool get_bool(const toml::node &node, const std::string &key)
{
    const auto *value = node.as_boolean();
    if (value == nullptr)
        fail(key, std::string("must be true or false, not ") + type_name(node), &node);
    return value->get();
}

const std::string &get_string(const toml::node &node, const std::string &key)
{
    const auto *value = node.as_string();
    if (value == nullptr)
        fail(key, std::string("must be a string, not ") + type_name(node), &node);
    return value->get();
}

const toml::table &get_table(const toml::node &node, const std::string &key)
{
    const auto *table = node.as_table();
    if (table == nullptr)
        fail(key, std::string("must be a table, not ") + type_name(node), &node);
    return *table;
}

const toml::array &get_array(const toml::node &node, const std::string &key)
{
    const auto *array = node.as_array();
    if (array == nullptr)
        fail(key, std::string("must be an array, not ") + type_name(node), &node);
    return *array;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::vector<uint8_t> get_hex(const toml::node &node, const std::string &key, std::size_t max_bytes)
{
    const std::string &text = get_string(node, key);
    if (text.size() % 2 != 0)
        fail(key, "hex string must have an even number of digits", &node);
    if (text.size() / 2 > max_bytes)
        fail(key, "longer than " + std::to_string(max_bytes) + " bytes", &node);
    std::vector<uint8_t> bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hex_digit(text[i]);
        const int low = hex_digit(text[i + 1]);
        if (high < 0 || low < 0)
            fail(key, "not a hex string: '" + text.substr(i, 2) + "' at position " +
                          std::to_string(i),
                 &node);
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return bytes;
}

/* A user name or password: 1..31 bytes, no NUL (it would cut the field). */
void check_name(const std::string &text, const std::string &key, const toml::node *node,
                bool allow_empty)
{
    if (text.empty() && !allow_empty)
        fail(key, "must not be empty", node);
    if (text.size() > kMaxNameLength)
        fail(key, "longer than 31 characters", node);
    if (text.find('\0') != std::string::npos)
        fail(key, "must not contain a NUL character", node);
}

BroadcastName get_broadcast_name(const toml::node &node, const std::string &key)
{
    BroadcastName name;
    if (!parse_broadcast_name(get_string(node, key), name))
        fail(key, "must be two letters, then a number 0..65535 without leading zeros (e.g. \"BN1\")",
             &node);
    return name;
}

void load_users(const toml::table &users, Scenario &scenario)
{
    for (const auto &[key, node] : users) {
        const std::string name(key.str());
        const std::string path = "users." + name;
        check_name(name, path, &node, false);
        const toml::table &table = get_table(node, path);
        check_keys(table, path, {"password", "user_info", "password_expired"});
        User user;
        const toml::node *password = table.get("password");
        if (password == nullptr)
            fail(path + ".password", "missing", &node);
        user.password = get_string(*password, path + ".password");
        check_name(user.password, path + ".password", password, false);
        user.user_info.fill(' ');
        if (const toml::node *info = table.get("user_info")) {
            const std::string &text = get_string(*info, path + ".user_info");
            if (text.size() > kUserInfoSize)
                fail(path + ".user_info", "longer than 12 bytes", info);
            std::memcpy(user.user_info.data(), text.data(), text.size());
        }
        if (const toml::node *expired = table.get("password_expired"))
            user.password_expired = get_bool(*expired, path + ".password_expired");
        scenario.users.emplace(name, std::move(user));
    }
}

void load_event_types(const toml::table &table, Scenario &scenario)
{
    check_keys(table, "event_types", {"list", "nul_terminated"});
    std::string list;
    bool nul_terminated = true;
    if (const toml::node *node = table.get("list"))
        list = get_string(*node, "event_types.list");
    if (const toml::node *node = table.get("nul_terminated"))
        nul_terminated = get_bool(*node, "event_types.nul_terminated");
    if (list.size() + (nul_terminated ? 1 : 0) > gwproto::kMaxDataSize)
        fail("event_types.list", "longer than " + std::to_string(gwproto::kMaxDataSize - 1) +
                                     " bytes",
             table.get("list"));
    scenario.event_type_list.assign(list.begin(), list.end());
    if (nul_terminated)
        scenario.event_type_list.push_back(0);
}

void load_info_objects(const toml::array &array, Scenario &scenario)
{
    if (array.size() > kMaxInfoObjects)
        fail("info_objects", "more than " + std::to_string(kMaxInfoObjects) + " objects", &array);
    for (std::size_t i = 0; i < array.size(); ++i) {
        const std::string path = "info_objects[" + std::to_string(i) + "]";
        const toml::table &table = get_table(array[i], path);
        check_keys(table, path, {"name", "auto_loaded", "reply_status"});
        InfoObject object;
        const toml::node *name = table.get("name");
        if (name == nullptr)
            fail(path + ".name", "missing", &table);
        object.name = get_broadcast_name(*name, path + ".name");
        if (const toml::node *node = table.get("auto_loaded"))
            object.auto_loaded = get_bool(*node, path + ".auto_loaded");
        if (const toml::node *node = table.get("reply_status"))
            object.reply_status = get_int32(*node, path + ".reply_status");
        scenario.info_objects.push_back(object);
    }
}

Broadcast load_broadcast(const toml::node &node, const std::string &path)
{
    const toml::table &table = get_table(node, path);
    check_keys(table, path, {"name", "body", "network_status"});
    Broadcast broadcast;
    const toml::node *name = table.get("name");
    if (name == nullptr)
        fail(path + ".name", "missing", &table);
    broadcast.name = get_broadcast_name(*name, path + ".name");
    const toml::node *body = table.get("body");
    const toml::node *status = table.get("network_status");
    if (body != nullptr && status != nullptr)
        fail(path + ".network_status", "give either body or network_status, not both", status);
    if (status != nullptr) {
        const uint32_t value = static_cast<uint32_t>(get_int32(*status, path + ".network_status"));
        for (int shift = 0; shift < 32; shift += 8) /* little-endian on the wire */
            broadcast.body.push_back(static_cast<uint8_t>(value >> shift));
    } else if (body != nullptr) {
        broadcast.body = get_hex(*body, path + ".body", kMaxBroadcastBufferSize);
    }
    /* A zero length field ends the vendor broadcast buffer. */
    if (broadcast.body.empty())
        fail(path + ".body", "missing or empty (a broadcast needs at least one body byte)", &table);
    return broadcast;
}

void load_broadcast_reads(const toml::array &array, Scenario &scenario)
{
    if (array.size() > kMaxBroadcastReads)
        fail("broadcast_reads", "more than " + std::to_string(kMaxBroadcastReads) + " reads",
             &array);
    for (std::size_t i = 0; i < array.size(); ++i) {
        const std::string path = "broadcast_reads[" + std::to_string(i) + "]";
        const toml::table &table = get_table(array[i], path);
        check_keys(table, path, {"status", "broadcasts"});
        BroadcastRead read;
        if (const toml::node *node = table.get("status"))
            read.status = get_int32(*node, path + ".status");
        if (const toml::node *node = table.get("broadcasts")) {
            const toml::array &items = get_array(*node, path + ".broadcasts");
            if (read.status < 0 && !items.empty())
                fail(path + ".broadcasts", "a read with a negative status delivers nothing", node);
            for (std::size_t j = 0; j < items.size(); ++j)
                read.broadcasts.push_back(
                    load_broadcast(items[j], path + ".broadcasts[" + std::to_string(j) + "]"));
            std::size_t size = 4 + 2;
            for (const Broadcast &b : read.broadcasts)
                size += 6 + b.body.size();
            if (size > kMaxBroadcastBufferSize)
                fail(path + ".broadcasts",
                     "the broadcasts need " + std::to_string(size) +
                         " bytes of broadcast buffer, more than 64000",
                     node);
        }
        scenario.broadcast_reads.push_back(std::move(read));
    }
}

bool call_takes_arg(gwproto::MessageKind kind)
{
    return kind == gwproto::MessageKind::GetInfo || kind == gwproto::MessageKind::ReadEvent ||
           kind == gwproto::MessageKind::SetEvent || kind == gwproto::MessageKind::ClearEvent;
}

void load_faults(const toml::array &array, Scenario &scenario)
{
    if (array.size() > kMaxFaults)
        fail("faults", "more than " + std::to_string(kMaxFaults) + " faults", &array);
    for (std::size_t i = 0; i < array.size(); ++i) {
        const std::string path = "faults[" + std::to_string(i) + "]";
        const toml::table &table = get_table(array[i], path);
        check_keys(table, path,
                   {"call", "arg", "nth", "completion_status", "transaction_status", "delay_ms",
                    "action"});
        Fault fault;
        const toml::node *call = table.get("call");
        if (call == nullptr)
            fail(path + ".call", "missing", &table);
        const std::string &name = get_string(*call, path + ".call");
        if (!gwproto::call_kind_from_name(name, fault.call))
            fail(path + ".call", "'" + name + "' is no networked gateway call", call);
        if (const toml::node *node = table.get("arg")) {
            if (!call_takes_arg(fault.call))
                fail(path + ".arg", "'" + name + "' carries no item, event code or event type",
                     node);
            fault.arg = get_int32(*node, path + ".arg");
        }
        if (const toml::node *node = table.get("nth"))
            fault.nth = static_cast<uint32_t>(get_integer(*node, path + ".nth", 1, UINT32_MAX));
        if (const toml::node *node = table.get("completion_status"))
            fault.completion_status = get_int32(*node, path + ".completion_status");
        if (const toml::node *node = table.get("transaction_status"))
            fault.transaction_status = get_int32(*node, path + ".transaction_status");
        if (const toml::node *node = table.get("delay_ms"))
            fault.delay_ms = static_cast<uint32_t>(get_integer(*node, path + ".delay_ms", 0,
                                                                kMaxDelayMs));
        if (const toml::node *node = table.get("action")) {
            const std::string &action = get_string(*node, path + ".action");
            if (action == "answer")
                fault.action = FaultAction::Answer;
            else if (action == "close")
                fault.action = FaultAction::Close;
            else if (action == "hang")
                fault.action = FaultAction::Hang;
            else
                fail(path + ".action", "must be \"answer\", \"close\" or \"hang\", not \"" +
                                           action + "\"",
                     node);
        }
        scenario.faults.push_back(fault);
    }
}

void load_root(const toml::table &root, Scenario &scenario)
{
    check_keys(root, "",
               {"facility_type", "query_answer", "users", "event_types", "info_objects",
                "broadcast_reads", "faults", "handshake_timeout_ms", "idle_timeout_ms",
                "max_connections"});
    ConnectionLimits &limits = scenario.limits;
    if (const toml::node *node = root.get("handshake_timeout_ms"))
        limits.handshake_timeout_ms =
            static_cast<uint32_t>(get_integer(*node, "handshake_timeout_ms", 1, kMaxTimeoutMs));
    if (const toml::node *node = root.get("idle_timeout_ms"))
        limits.idle_timeout_ms =
            static_cast<uint32_t>(get_integer(*node, "idle_timeout_ms", 1, kMaxTimeoutMs));
    if (const toml::node *node = root.get("max_connections"))
        limits.max_connections =
            static_cast<uint32_t>(get_integer(*node, "max_connections", 1, kMaxConnectionLimit));
    if (const toml::node *node = root.get("facility_type"))
        scenario.facility_type = get_int32(*node, "facility_type");
    if (const toml::node *node = root.get("query_answer"))
        scenario.query_answer =
            get_hex(*node, "query_answer", gwproto::kMaxDataSize - gwproto::kTransactionIdSize);
    if (const toml::node *node = root.get("users"))
        load_users(get_table(*node, "users"), scenario);
    if (const toml::node *node = root.get("event_types"))
        load_event_types(get_table(*node, "event_types"), scenario);
    else
        scenario.event_type_list.assign(1, 0); /* empty list, NUL terminated */
    if (const toml::node *node = root.get("info_objects"))
        load_info_objects(get_array(*node, "info_objects"), scenario);
    if (const toml::node *node = root.get("broadcast_reads"))
        load_broadcast_reads(get_array(*node, "broadcast_reads"), scenario);
    if (const toml::node *node = root.get("faults"))
        load_faults(get_array(*node, "faults"), scenario);
}

/* Error texts of toml++ may span lines; the report is one line. */
std::string one_line(std::string_view text)
{
    std::string out;
    for (char c : text)
        out.push_back(c == '\n' || c == '\r' ? ' ' : c);
    return out;
}

}  // namespace

std::string broadcast_name_text(const BroadcastName &name)
{
    return std::string(name.letters, 2) + std::to_string(name.number);
}

bool parse_broadcast_name(std::string_view text, BroadcastName &name)
{
    auto is_letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (text.size() < 3 || text.size() > 7 || !is_letter(text[0]) || !is_letter(text[1]))
        return false;
    const std::string_view digits = text.substr(2);
    if (digits.size() > 1 && digits[0] == '0')
        return false;
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || value > 65535)
        return false;
    name.letters[0] = text[0];
    name.letters[1] = text[1];
    name.number = static_cast<uint16_t>(value);
    return true;
}

bool parse_scenario(std::string_view text, const std::string &file, Scenario &scenario,
                    std::string &error)
{
    Scenario loaded;
    try {
        const toml::table root = toml::parse(text, file);
        load_root(root, loaded);
    } catch (const toml::parse_error &e) {
        const auto &where = e.source().begin;
        error = file + ": line " + std::to_string(where.line) + ", column " +
                std::to_string(where.column) + ": " + one_line(e.description());
        return false;
    } catch (const ScenarioError &e) {
        error = file + ": " + (e.key.empty() ? std::string("(top level)") : e.key) + ": " +
                one_line(e.what);
        if (e.line != 0)
            error += " (line " + std::to_string(e.line) + ")";
        return false;
    }
    scenario = std::move(loaded);
    return true;
}

bool load_scenario(const std::string &file, Scenario &scenario, std::string &error)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = file + ": cannot open: " + std::strerror(errno);
        return false;
    }
    std::string text;
    char chunk[8192];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        text.append(chunk, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxScenarioFileSize) {
            error = file + ": larger than " + std::to_string(kMaxScenarioFileSize) + " bytes";
            return false;
        }
    }
    if (in.bad()) {
        error = file + ": cannot read: " + std::strerror(errno);
        return false;
    }
    return parse_scenario(text, file, scenario, error);
}

}  // namespace gwsim
