/*
 * child_process.h - runs a piece of a test in a forked child with its
 * standard output and error captured, for code that ends the process.
 */
#ifndef TESTS_SUPPORT_CHILD_PROCESS_H
#define TESTS_SUPPORT_CHILD_PROCESS_H

#include <functional>
#include <string>

struct ChildResult {
    int exit_status = -1; /* -1 when the child did not exit normally */
    int term_signal = 0; /* the signal that ended the child, if one did */
    std::string out;
    std::string err;
};

/* Runs `body` in a child; when it returns, the child calls exit(0). */
ChildResult RunInChild(const std::function<void()> &body);

#endif
