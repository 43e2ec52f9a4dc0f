#!/usr/bin/env bash
# Installs every build and test dependency on Debian 12 (run as root).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  ca-certificates cmake ninja-build g++ clang libclang-rt-14-dev python3 \
  libboost-dev libboost-filesystem-dev libboost-system-dev libboost-date-time-dev \
  libgtest-dev libgmock-dev googletest libbenchmark-dev openjdk-17-jdk-headless >/dev/null
