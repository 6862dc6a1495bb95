#!/bin/bash
# Installs what building, testing and the demo need on Debian 12 (as root), plus any
# further Debian packages named as arguments.
set -euo pipefail

packages=(build-essential cmake pkg-config libpcap-dev libmnl-dev libgtest-dev libbenchmark-dev
          nlohmann-json3-dev libxdp-dev libbpf-dev xdp-tools iproute2 tcpdump nftables python3 clang clang-format libclang-rt-14-dev dpkg-dev file
          man-db python3-matplotlib ethtool "$@")
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi
