#!/usr/bin/env bash
# The main job: installs what is missing, builds the installer and the package tool, packs the
# bundled sample product and runs its installer. On a terminal you answer the questions; without
# one it installs unattended (-target, -accept) into a fresh directory under the temporary
# directory.
# Ends by showing where the product was installed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target zninstall znpack

setup=build/zantho-sample-setup
build/znpack build -o "$setup" \
    --name Zantho --version 1.0 --license examples/sample/licence.txt \
    --env ZN_BINDIR=bin --env ZANTHO_VERSION=1.0 \
    --welcome examples/sample/welcome.txt \
    --archive examples/sample/tree \
    --script examples/sample/postinstall.sh
echo "Packed the sample product into $setup"
echo

# The sample's post-install script writes the install directory here.
report=$(mktemp)
trap 'rm -f "$report"' EXIT
export ZN_SAMPLE_REPORT="$report"
if [ -t 0 ]; then
    "$setup"
else
    # Unattended: -target names the directory (created, with its parents) instead of the question,
    # and -accept accepts the licence.
    dest=$(mktemp -d "${TMPDIR:-/tmp}/zantho-sample.XXXXXX")/opt/zantho
    "$setup" -target "$dest" -accept </dev/null
fi

where=$(cat "$report")
echo
if [ -z "$where" ]; then
    echo "The sample product was not installed." >&2
    exit 1
fi
echo "The sample product is installed in: $where"
"$where/bin/zantho"
