/*
 * gwsim_process.h - test helper: a gwsim child process on a loopback port,
 * started with a scenario file written into a private temporary directory,
 * and stopped (and the directory removed) when the object goes away.
 */
#ifndef TESTS_SUPPORT_GWSIM_PROCESS_H
#define TESTS_SUPPORT_GWSIM_PROCESS_H

#include <sys/types.h>

#include <string>

#include "gwapi/gwapi.h"

class GwsimProcess {
public:
    /* Starts gwsim with the scenario text; check started() afterwards. */
    explicit GwsimProcess(const std::string &scenario);
    ~GwsimProcess();
    GwsimProcess(const GwsimProcess &) = delete;
    GwsimProcess &operator=(const GwsimProcess &) = delete;

    bool started() const { return port_ > 0; }
    int port() const { return port_; }
    const std::string &error() const { return error_; }
    /* The journal written so far. */
    std::string journal() const;

private:
    std::string directory_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string error_;
};

/* A temporary directory removed with its files at the end of the scope. */
std::string make_temporary_directory();
void remove_directory(const std::string &directory);

/* A login message for user/password at 127.0.0.1:port. */
GwLoginMessage make_login(const char *user, const char *password, int port,
                          const char *host = "127.0.0.1");

#endif
