/*
 * journal.h - the request journal of gwsim (--journal FILE): one JSON
 * object per line for every request received, flushed line by line.
 *
 * A line: {"session":3,"request_id":7,"call":"gwapi_get_info_ex",
 * "args":{"item":1,"length":12},"message_hex":""}. The message is the
 * record the call carried, with password fields zeroed.
 */
#ifndef GWSIM_JOURNAL_H
#define GWSIM_JOURNAL_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "protocol/protocol.h"

namespace gwsim {

/* The journal line for one request, without the line end. */
std::string journal_line(uint64_t session, const gwproto::Request &request);

class Journal {
public:
    Journal() = default;
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    /* Opens FILE for appending; false with `error` set when it cannot. */
    bool open(const std::string &file, std::string &error);
    bool is_open() const { return file_ != nullptr; }

    /* Writes and flushes one line; a write error is reported once on stderr. */
    void record(uint64_t session, const gwproto::Request &request);

private:
    std::FILE *file_ = nullptr;
    bool write_failed_ = false;
};

}  // namespace gwsim

#endif
