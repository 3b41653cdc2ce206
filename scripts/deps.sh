#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# As root it runs apt-get; otherwise it prints the exact apt-get line and fails.
set -euo pipefail

# --bench adds what scripts/bench.sh runs, --fuzz clang and its libFuzzer runtime.
# groff-base renders the manual pages for their test; libarchive-tools gives bsdtar, one of the tar
# writers whose archives the tests install. libmd-dev gives znpack the SHA-256 it prints for each
# package it builds (the installer does not link it).
packages=(cmake make g++ libbz2-dev bzip2 libzstd-dev zstd libgtest-dev libbenchmark-dev
    libarchive-dev libarchive-tools libmd-dev tar tmux groff-base)
case "${1:-}" in
    --bench) packages+=(makeself time lbzip2 pbzip2) ;;
    --fuzz) packages+=(clang libclang-rt-14-dev) ;;
esac

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
