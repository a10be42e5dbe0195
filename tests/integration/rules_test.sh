#!/bin/sh
# rules_test.sh RULES TESTS - promtool checks the alerting rules file RULES
# and runs its unit tests TESTS (which name RULES themselves).
set -u
if ! command -v promtool >/dev/null; then
    echo "promtool is missing: scripts/install-deps.sh installs it (package prometheus)" >&2
    exit 1
fi
promtool check rules "$1" && promtool test rules "$2"
