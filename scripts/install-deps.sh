#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with.
# Idempotent and non-interactive: does nothing when everything is there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build g++ clang lld libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libasio-dev libtomlplusplus-dev
  python3 python3-prometheus-client procps time
  dpkg-dev file lintian groff-base systemd pkgconf
  # The monitoring programs the integration tests run; each test starts its
  # own on loopback ports of its choosing. Where systemd does not run and
  # policy-rc.d forbids starting services (containers), installing them
  # starts no daemon; elsewhere their services may start on their usual
  # ports, which the tests never use. mailutils is the mail client Nagios
  # needs, so that no mail server comes with it.
  prometheus prometheus-node-exporter mailutils nagios4-core
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
