#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang (build-fuzz/), replays every target's seed
# corpus and committed regressions, then fuzzes each target for a while. Exits non-zero on any
# crash, sanitizer report, failed check, timeout (5 s per input) or out-of-memory (2048 MB).
#
#   scripts/fuzz.sh                      every target, 20 s each (the CI run)
#   scripts/fuzz.sh -t 900 tar_reader    one target for 15 minutes
#   scripts/fuzz.sh -t 600 -j 1          every target, one at a time
#
# Options: -t SECONDS (time per target, also ZN_FUZZ_SECONDS; 0 only replays), -j N (targets
# fuzzed at once, default 2, also ZN_FUZZ_PARALLEL). New inputs that reach new code collect in
# build-fuzz/corpus/<target> (kept between runs, so long campaigns build on each other); findings
# go to build-fuzz/artifacts/, each target's log to build-fuzz/logs/<target>.log.
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets=(package bzunzip zstd_unzip tar_reader wild_match path dstr)
seconds=${ZN_FUZZ_SECONDS:-20}
parallel=${ZN_FUZZ_PARALLEL:-2}
while getopts "t:j:" opt; do
    case $opt in
        t) seconds=$OPTARG ;;
        j) parallel=$OPTARG ;;
        *) echo "usage: $0 [-t seconds] [-j parallel] [target...]" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
if [ $# -ne 0 ]; then targets=("$@"); else targets=("${all_targets[@]}"); fi

# Largest input per target, in bytes: room for a package or archive with several records.
declare -A max_len=([package]=16384 [bzunzip]=8192 [zstd_unzip]=8192 [tar_reader]=32768
                    [wild_match]=1024 [path]=2048 [dstr]=4096)

scripts/deps.sh --fuzz

out=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=Release -DZN_FUZZ=ON \
    -DZN_TESTS=OFF -DZN_BENCH=OFF >/dev/null
cmake --build "$out" -j2 --target $(printf 'fuzz_%s ' "${targets[@]}") >/dev/null
mkdir -p "$out/artifacts" "$out/logs"

# Runs one target: replay, then fuzz. Its log goes to $out/logs; returns libFuzzer's status.
run_target() {
    local t=$1 bin="$out/fuzz/fuzz_$1" log="$out/logs/$1.log"
    local common=(-timeout=5 -rss_limit_mb=2048 -max_len="${max_len[$t]:-4096}"
                  -artifact_prefix="$out/artifacts/$t-" -print_final_stats=1 -close_fd_mask=1)
    [ -f "fuzz/$t.dict" ] && common+=(-dict="fuzz/$t.dict")
    local replay=()
    for dir in "fuzz/corpus/$t" "fuzz/regressions/$t"; do
        [ -d "$dir" ] && replay+=("$dir")
    done
    : >"$log"
    if [ ${#replay[@]} -ne 0 ]; then
        "$bin" "${common[@]}" -runs=0 "${replay[@]}" >>"$log" 2>&1 || return 1
    fi
    [ "$seconds" -gt 0 ] || return 0
    mkdir -p "$out/corpus/$t"
    # The regressions are replayed only: they are slow or odd on purpose, and mutating them would
    # spend the time on their neighbours.
    local seeds=()
    [ -d "fuzz/corpus/$t" ] && seeds+=("fuzz/corpus/$t")
    "$bin" "${common[@]}" -max_total_time="$seconds" "$out/corpus/$t" "${seeds[@]}" \
        >>"$log" 2>&1
}

# Prints one line per target: executions, speed and the verdict.
report() {
    local t=$1 status=$2 log="$out/logs/$1.log"
    local runs speed
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
    speed=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | tail -1 | grep -o '[0-9]*$' || true)
    if [ "$status" -eq 0 ]; then
        printf '%-12s ok      %10s runs  %7s/s\n' "$t" "${runs:-0}" "${speed:-0}"
    else
        printf '%-12s FAILED  (log: %s)\n' "$t" "$log"
        grep -E 'fuzz check failed|ERROR:|SUMMARY|Test unit written|ALARM|out-of-memory' "$log" \
            | head -20 | sed 's/^/    /'
    fi
}

failed=0
pending=("${targets[@]}")
while [ ${#pending[@]} -ne 0 ]; do
    batch=("${pending[@]:0:$parallel}")
    pending=("${pending[@]:$parallel}")
    pids=()
    for t in "${batch[@]}"; do
        [ -x "$out/fuzz/fuzz_$t" ] || { echo "no fuzz target named $t" >&2; exit 2; }
        run_target "$t" &
        pids+=($!)
    done
    for i in "${!batch[@]}"; do
        status=0
        wait "${pids[$i]}" || status=$?
        report "${batch[$i]}" "$status"
        [ "$status" -eq 0 ] || failed=1
    done
done
if [ "$failed" -ne 0 ]; then
    echo "fuzzing found a problem; reproduce with build-fuzz/fuzz/fuzz_<target> <artifact>" >&2
    exit 1
fi
