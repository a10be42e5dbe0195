/* child_process.cpp - forked children with captured output, for tests. */
#include "tests/support/child_process.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string ReadAll(int fd) {
    std::string text;
    char buffer[4096];
    lseek(fd, 0, SEEK_SET);
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    return text;
}

int TempFile() {
    char name[] = "/tmp/gwcheck-child-XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0) unlink(name);
    return fd;
}

}  // namespace

ChildResult RunInChild(const std::function<void()> &body) {
    ChildResult result;
    int out_fd = TempFile();
    int err_fd = TempFile();
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        body();
        exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.term_signal = WTERMSIG(status);
    result.out = ReadAll(out_fd);
    result.err = ReadAll(err_fd);
    close(out_fd);
    close(err_fd);
    return result;
}
