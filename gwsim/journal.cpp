/*
 * journal.cpp - formatting and writing of the request journal.
 */
#include "gwsim/journal.h"

#include <cerrno>
#include <cstring>
#include <vector>

namespace gwsim {

namespace {

using gwproto::MessageKind;

/* Byte ranges of the records that hold passwords. */
struct Range {
    std::size_t offset;
    std::size_t width;
};

std::vector<Range> password_fields(MessageKind kind)
{
    if (kind == MessageKind::Login)
        return {{32, 32}};
    if (kind == MessageKind::SetNewPassword)
        return {{0, 32}, {32, 32}};
    return {};
}

std::string hex_of(std::span<const uint8_t> bytes, MessageKind kind)
{
    static const char digits[] = "0123456789abcdef";
    std::vector<uint8_t> copy(bytes.begin(), bytes.end());
    for (const Range &r : password_fields(kind))
        for (std::size_t i = r.offset; i < r.offset + r.width && i < copy.size(); ++i)
            copy[i] = 0;
    std::string hex;
    hex.reserve(copy.size() * 2);
    for (uint8_t b : copy) {
        hex.push_back(digits[b >> 4]);
        hex.push_back(digits[b & 15]);
    }
    return hex;
}

void add_arg(std::string &args, const char *name, long long value)
{
    if (args.size() > 1)
        args += ",";
    args += "\"";
    args += name;
    args += "\":";
    args += std::to_string(value);
}

std::string args_of(const gwproto::Request &r)
{
    std::string args = "{";
    switch (r.kind) {
    case MessageKind::GetInfo:
        add_arg(args, "item", r.arg);
        add_arg(args, "length", r.capacity);
        break;
    case MessageKind::Tx: add_arg(args, "facility_type", r.facility_type); break;
    case MessageKind::Query:
        add_arg(args, "facility_type", r.facility_type);
        add_arg(args, "mode", r.mode);
        add_arg(args, "answer_length", r.capacity);
        break;
    case MessageKind::ReadEvent:
        add_arg(args, "event_code", r.arg);
        add_arg(args, "length", r.capacity);
        add_arg(args, "flags", r.flags);
        add_arg(args, "wait", r.wait);
        break;
    case MessageKind::SetEvent:
    case MessageKind::ClearEvent: add_arg(args, "event_type", r.arg); break;
    default: break;
    }
    return args + "}";
}

}  // namespace

std::string journal_line(uint64_t session, const gwproto::Request &request)
{
    std::string line = "{\"session\":" + std::to_string(session);
    line += ",\"request_id\":" + std::to_string(request.request_id);
    line += ",\"call\":\"" + std::string(gwproto::call_name(request.kind)) + "\"";
    line += ",\"args\":" + args_of(request);
    line += ",\"message_hex\":\"" + hex_of(request.record, request.kind) + "\"}";
    return line;
}

Journal::~Journal()
{
    if (file_ != nullptr)
        std::fclose(file_);
}

bool Journal::open(const std::string &file, std::string &error)
{
    file_ = std::fopen(file.c_str(), "a");
    if (file_ == nullptr) {
        error = "cannot open journal " + file + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void Journal::record(uint64_t session, const gwproto::Request &request)
{
    if (file_ == nullptr)
        return;
    const std::string line = journal_line(session, request) + "\n";
    if ((std::fwrite(line.data(), 1, line.size(), file_) != line.size() ||
         std::fflush(file_) != 0) &&
        !write_failed_) {
        write_failed_ = true;
        std::fprintf(stderr, "gwsim: cannot write the journal: %s\n", std::strerror(errno));
    }
}

}  // namespace gwsim
