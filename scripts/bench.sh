#!/usr/bin/env bash
# Installation benchmark: how long our installer takes to install a product, against the plain
# decompression of the same archive (bzip2 -dc > /dev/null, the floor) and the peers a vendor
# could ship instead (tar -xjf, bzip2 -dc | tar -x, tar -I lbzip2 -xf, pbzip2 -dc | tar -x, a
# makeself --bzip2 archive); our installer also with ZN_THREADS=1 (its sequential decoder), with
# -nosync (no syncfs before and after the commit: what making the install durable costs) and
# with -gz to /dev/null (decompression alone); and our installer on a zstd package of the same
# archive, with and without -nosync, against tar -I zstd -xf. With --baseline REV, also the
# installer of an earlier revision of this repository on a package its own znpack built. Then
# how long packing takes: znpack build (on every core, and with ZN_THREADS=1) against tar -cjf
# and tar -I lbzip2 -cf.
#
# It installs what is missing, builds (Release, build/), generates two product trees with
# build/bench/make_tree (small: 23 MB in 740 files; large: 190 MB in 5000 files), packs each as
# our package (bzip2, and zstd at its default level), as a .tar.bz2 and a .tar.zst (zstd -19) of
# the very archive the package holds and as a makeself archive, and checks once that every
# method installs the tree exactly. Then it times the methods round
# robin, one untimed warm-up round and ROUNDS timed ones, each run into a fresh empty directory
# with the page cache warm, and prints per tree the median wall-clock time of each method, its
# ratio to the bzip2 -dc median and the peak RSS of one more run, and the zstd package against the
# bzip2 one (size) and tar -I zstd (time); then the durability table (each package's default run
# against its -nosync run) and, with --baseline, ours -nosync against the baseline; then
# PACK_ROUNDS rounds of the packing methods, with each median's ratio to znpack build with one
# thread. The last line is our installer's ratio on the small tree alone.
#
# No installed tree is removed before the end: on a file system that reuses freed inodes only
# after a while (ext4 without a journal skips every inode freed in the last minute, at one lookup
# each), creating files right after deleting thousands costs several times what it costs on a
# disk a user installs to, and that cost would swamp what is measured here.
#
# Usage: scripts/bench.sh [--rounds N] [--pack-rounds N] [--dir PARENT] [--small-only]
#                         [--baseline REV]
#   --rounds N    timed rounds per tree (default 7, or ZN_BENCH_ROUNDS)
#   --pack-rounds N  timed packing rounds per tree (default 5, or ZN_BENCH_PACK_ROUNDS)
#   --dir PARENT  where the scratch directory goes (default $TMPDIR or /tmp, or ZN_BENCH_DIR);
#                 it needs some 20 GB free and is removed at the end
#   --small-only  the small tree only
#   --baseline REV  also time the installer of REV, a git revision of this repository: it is
#                 checked out into a worktree in the scratch directory (removed at the end) and
#                 built there (Release), and its own znpack packs the trees for it, since an
#                 older installer need not know the record types the current znpack writes
set -euo pipefail
export LC_ALL=C  # a '.' in every number read and printed
cd "$(dirname "$0")/.."
top=$(pwd)

rounds=${ZN_BENCH_ROUNDS:-7}
pack_rounds=${ZN_BENCH_PACK_ROUNDS:-5}
parent=${ZN_BENCH_DIR:-${TMPDIR:-/tmp}}
trees=(small large)
baseline=''
while [ $# -gt 0 ]; do
    case "$1" in
        --rounds) rounds=${2:?--rounds needs a number}; shift 2 ;;
        --pack-rounds) pack_rounds=${2:?--pack-rounds needs a number}; shift 2 ;;
        --dir) parent=${2:?--dir needs a directory}; shift 2 ;;
        --small-only) trees=(small); shift ;;
        --baseline) baseline=${2:?--baseline needs a git revision}; shift 2 ;;
        *) echo "usage: scripts/bench.sh [--rounds N] [--pack-rounds N] [--dir PARENT]" \
            "[--small-only] [--baseline REV]" >&2
            exit 2 ;;
    esac
done
for n in "$rounds" "$pack_rounds"; do
    case "$n" in '' | *[!0-9]* | 0) echo "bench: rounds must be positive numbers" >&2; exit 2 ;; esac
done

die() {
    echo "bench: $*" >&2
    exit 1
}

# The baseline's commit, resolved before anything is built, so that a mistyped revision costs
# nothing.
baseline_commit='' base_short=''
if [ -n "$baseline" ]; then
    command -v git >/dev/null || die "--baseline needs git"
    baseline_commit=$(git rev-parse --verify --quiet "$baseline^{commit}") ||
        die "--baseline: $baseline is not a commit of this repository"
    base_short=$(git rev-parse --short "$baseline_commit")
fi

scripts/deps.sh --bench
log=$(mktemp)
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=Release &&
    cmake --build build -j"$(nproc)" --target zninstall znpack make_tree; } >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    die "build failed"
fi
rm -f "$log"
znpack=$top/build/znpack
make_tree=$top/build/bench/make_tree

mkdir -p "$parent"
scratch=$(mktemp -d "$(realpath "$parent")/zn-bench.XXXXXX")
# The baseline's worktree, once it may have been registered: git is told to forget it (even when
# its checkout was cut short and it is still locked) before the scratch directory goes.
base_wt=''
cleanup() {
    if [ -n "$base_wt" ]; then
        git -C "$top" worktree remove -f -f "$base_wt" >/dev/null 2>&1 ||
            echo "bench: could not remove the worktree $base_wt; see git worktree list" >&2
    fi
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 1' INT TERM  # so that the scratch directory goes then too

# The methods, in the order each round runs them, and how the tables name them. Each -nosync run
# comes right after its durable one; the baseline right after those of the bzip2 package.
methods=(ours oursns)
if [ -n "$baseline" ]; then methods+=(base); fi
methods+=(ours1 oursgz zours zoursns bzip2 tar pipe lbzip2 pbzip2 ztar makeself)
declare -A label=(
    [ours]="ours (zninstall)"
    [oursns]="ours -nosync"
    [base]="baseline $base_short"
    [zours]="ours, zstd package"
    [zoursns]="ours, zstd package, -nosync"
    [ztar]="tar -I zstd -xf"
    [ours1]="ours, ZN_THREADS=1"
    [oursgz]="ours -gz > /dev/null"
    [bzip2]="bzip2 -dc > /dev/null"
    [tar]="tar -xjf"
    [pipe]="bzip2 -dc | tar -x"
    [lbzip2]="tar -I lbzip2 -xf"
    [pbzip2]="pbzip2 -dc | tar -x"
    [makeself]="makeself --bzip2"
)
# Methods that install nothing, only decompress.
declare -A no_tree=([bzip2]=1 [oursgz]=1)
# The packing methods, and how the packing table names them.
pack_methods=(pack pack1 tarj tarl)
declare -A pack_label=(
    [pack]="znpack build"
    [pack1]="znpack build, ZN_THREADS=1"
    [tarj]="tar -cjf"
    [tarl]="tar -I lbzip2 -cf"
)

# Checks the baseline out into the scratch directory and builds its installer and znpack there,
# in a build directory of their own and with the options of our build (an option an older
# CMakeLists.txt does not know is only warned about); sets base_znpack. Its znpack packs with
# the installer image beside it, the baseline's own.
base_znpack=''
build_baseline() {
    echo "baseline: checking out and building $baseline ($base_short)"
    base_wt=$scratch/baseline
    local log=$scratch/baseline.log
    if ! { git worktree add --detach "$base_wt" "$baseline_commit" &&
        cmake -S "$base_wt" -B "$base_wt/build" -DCMAKE_BUILD_TYPE=Release -DZN_TESTS=OFF \
            -DZN_BENCH=OFF &&
        cmake --build "$base_wt/build" -j"$(nproc)" --target zninstall znpack; } >"$log" 2>&1
    then
        cat "$log" >&2
        die "the build of the baseline $baseline failed"
    fi
    base_znpack=$base_wt/build/znpack
    if ! [ -x "$base_znpack" ] || ! [ -x "$base_wt/build/zninstall" ]; then
        die "the baseline's build left no build/znpack or build/zninstall"
    fi
}

# The files of the tree being measured (set by prepare).
pkg='' zpkg='' bpkg='' tbz='' tzst='' run='' src=''

# The median of the first n numbers of a space-separated list, for the awk programs below.
awk_median='
    function median(list, n,    i, j, t, a) {
        split(list, a, " ")
        for (i = 2; i <= n; i++)
            for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }'

# Sets dest to a new empty directory for one run, kept until the end (see above). The name comes
# from mktemp, so that runs started from a subshell get directories of their own too.
fresh_dest() {
    mkdir -p "$scratch/out"
    dest=$(mktemp -d "$scratch/out/run.XXXXXX")
    chmod 755 "$dest"
}

# Runs one method once in the directory $1 (which exists and is empty). Every method starts in a
# subshell that changes into the directory, so all pay the same for getting there.
run_method() {
    local method=$1 dest=$2
    case "$method" in
        ours) (cd "$dest" && TEMP=$scratch exec "$pkg" </dev/null >/dev/null 2>&1) ;;
        oursns) (cd "$dest" && TEMP=$scratch exec "$pkg" -nosync </dev/null >/dev/null 2>&1) ;;
        base) (cd "$dest" && TEMP=$scratch exec "$bpkg" </dev/null >/dev/null 2>&1) ;;
        ours1) (cd "$dest" && ZN_THREADS=1 TEMP=$scratch exec "$pkg" </dev/null >/dev/null 2>&1) ;;
        oursgz) (cd "$dest" && TEMP=$scratch exec "$pkg" -gz </dev/null >/dev/null 2>/dev/null) ;;
        zours) (cd "$dest" && TEMP=$scratch exec "$zpkg" </dev/null >/dev/null 2>&1) ;;
        zoursns) (cd "$dest" && TEMP=$scratch exec "$zpkg" -nosync </dev/null >/dev/null 2>&1) ;;
        ztar) (cd "$dest" && exec tar -I zstd -xf "$tzst") ;;
        lbzip2) (cd "$dest" && exec tar -I lbzip2 -xf "$tbz") ;;
        pbzip2) (cd "$dest" && pbzip2 -dc "$tbz" | tar -x) ;;
        bzip2) (cd "$dest" && exec bzip2 -dc "$tbz" >/dev/null) ;;
        tar) (cd "$dest" && exec tar -xjf "$tbz") ;;
        pipe) (cd "$dest" && bzip2 -dc "$tbz" | tar -x) ;;
        makeself)
            (cd "$dest" &&
                exec "$run" --quiet --noexec --nox11 --target "$dest" </dev/null >/dev/null 2>&1)
            ;;
    esac
}

# One line per entry of a tree: path, type, mode, size, link target.
manifest() {
    (cd "$1" && find . -mindepth 1 -printf '%P %y %m %s %l\n' | sort)
}

# Generates the tree $1 and packs it five ways (six with the baseline).
prepare() {
    local tree=$1 dir=$scratch/$1
    mkdir "$dir"
    src=$dir/tree pkg=$dir/setup zpkg=$dir/setup-zstd bpkg=$dir/setup-baseline
    tbz=$dir/archive.tar.bz2 tzst=$dir/archive.tar.zst run=$dir/makeself.run
    echo "$tree: generating the tree"
    summary=$("$make_tree" --preset "$tree" "$src")
    summary=${summary#*): }  # what the tree holds, without make_tree's own words for it
    echo "$tree: packing: znpack (bzip2 and zstd), .tar.bz2, .tar.zst, makeself"
    "$znpack" build -o "$pkg" --archive "$src" >/dev/null
    "$znpack" build -o "$zpkg" --compress zstd --archive "$src" >/dev/null
    if [ -n "$baseline" ]; then
        echo "$tree: packing with the baseline's znpack"
        "$base_znpack" build -o "$bpkg" --archive "$src" >/dev/null
    fi
    # The .tar.bz2 and .tar.zst hold the archive the packages carry, compressed at the same level.
    (cd "$dir" && TEMP=$scratch "$pkg" -gz </dev/null 2>/dev/null) >"$dir/archive.tar"
    bzip2 -9 <"$dir/archive.tar" >"$tbz"
    zstd -q -19 -T0 <"$dir/archive.tar" >"$tzst"
    rm "$dir/archive.tar"
    makeself --bzip2 --tar-quietly --quiet --packaging-date "1970-01-01" "$src" "$run" \
        "benchmark $tree tree" true >/dev/null
}

# Runs every method once, untimed, and checks that it installed the tree exactly.
warm_up_and_check() {
    local method dest want
    want=$(manifest "$src")
    for method in "${methods[@]}"; do
        fresh_dest
        run_method "$method" "$dest" || die "$method failed on the $1 tree"
        if [ -z "${no_tree[$method]:-}" ]; then
            [ "$(manifest "$dest")" = "$want" ] ||
                die "$method did not install the $1 tree as it is (names, types, modes or sizes)"
            diff -r --no-dereference "$src" "$dest" >/dev/null ||
                die "$method installed different contents from the $1 tree"
        fi
    done
}

# Times ROUNDS rounds of every method; appends "method round wall user system" lines (seconds)
# to $1. Bash's own time keyword takes them: no extra process, and the processor time counts
# every process the method started.
measure() {
    local out=$1 tree=$2 r method times dest TIMEFORMAT='%3R %3U %3S'
    printf '%s: rounds:' "$tree"
    for ((r = 1; r <= rounds; r++)); do
        printf ' %d' "$r"
        for method in "${methods[@]}"; do
            fresh_dest
            sync
            times=$({ time run_method "$method" "$dest" 2>/dev/null; } 2>&1) ||
                die "$method failed on the $tree tree"
            echo "$method $r $times" >>"$out"
        done
    done
    echo
}

# Peak RSS in kB of one run of method $1: the largest single process of the run (for the pipe
# and makeself, the largest of the processes they start).
# shellcheck disable=SC2016 # the pipe's $1 is the inner shell's argument
peak_rss() {
    local method=$1 dest report=$scratch/time.txt
    fresh_dest
    case "$method" in
        ours) (cd "$dest" && TEMP=$scratch /usr/bin/time -v -o "$report" "$pkg" \
            </dev/null >/dev/null 2>&1) ;;
        ours1) (cd "$dest" && ZN_THREADS=1 TEMP=$scratch /usr/bin/time -v -o "$report" "$pkg" \
            </dev/null >/dev/null 2>&1) ;;
        oursns) (cd "$dest" && TEMP=$scratch /usr/bin/time -v -o "$report" "$pkg" -nosync \
            </dev/null >/dev/null 2>&1) ;;
        base) (cd "$dest" && TEMP=$scratch /usr/bin/time -v -o "$report" "$bpkg" \
            </dev/null >/dev/null 2>&1) ;;
        oursgz) (cd "$dest" && TEMP=$scratch /usr/bin/time -v -o "$report" "$pkg" -gz \
            </dev/null >/dev/null 2>/dev/null) ;;
        zours) (cd "$dest" && TEMP=$scratch /usr/bin/time -v -o "$report" "$zpkg" \
            </dev/null >/dev/null 2>&1) ;;
        zoursns) (cd "$dest" && TEMP=$scratch /usr/bin/time -v -o "$report" "$zpkg" -nosync \
            </dev/null >/dev/null 2>&1) ;;
        ztar) (cd "$dest" && /usr/bin/time -v -o "$report" tar -I zstd -xf "$tzst") ;;
        lbzip2) (cd "$dest" && /usr/bin/time -v -o "$report" tar -I lbzip2 -xf "$tbz") ;;
        pbzip2) (cd "$dest" && /usr/bin/time -v -o "$report" sh -c 'pbzip2 -dc "$1" | tar -x' sh \
            "$tbz") ;;
        bzip2) (cd "$dest" && /usr/bin/time -v -o "$report" bzip2 -dc "$tbz" >/dev/null) ;;
        tar) (cd "$dest" && /usr/bin/time -v -o "$report" tar -xjf "$tbz") ;;
        pipe) (cd "$dest" && /usr/bin/time -v -o "$report" sh -c 'bzip2 -dc "$1" | tar -x' sh \
            "$tbz") ;;
        makeself) (cd "$dest" && /usr/bin/time -v -o "$report" "$run" --quiet --noexec --nox11 \
            --target "$dest" </dev/null >/dev/null 2>&1) ;;
    esac
    awk -F': ' '/Maximum resident set size/ {print $2}' "$report"
}

# Prints the table of the tree $1 from the timings in $2 and the RSS figures in $3; sets
# ours_ratio to our median over the bzip2 -dc median.
report() {
    local tree=$1 times=$2 rss=$3
    echo
    echo "$tree tree: $summary"
    local bz_size zstd_size
    bz_size=$(stat -c %s "$pkg") zstd_size=$(stat -c %s "$zpkg")
    echo "  package $bz_size bytes, zstd package $zstd_size bytes" \
        "($(awk -v z="$zstd_size" -v b="$bz_size" 'BEGIN { printf "%.3f", z / b }') of it)," \
        ".tar.bz2 $(stat -c %s "$tbz") bytes, .tar.zst $(stat -c %s "$tzst") bytes," \
        "makeself $(stat -c %s "$run") bytes"
    echo "  $rounds rounds round robin after one warm-up round; wall clock in seconds;" \
        "ratio = median / bzip2 -dc median;"
    echo "  paired = median over the rounds of (run / bzip2 -dc run of the same round);"
    echo "  cpu = median user + system time of all the processes of a run"
    local table
    table=$(awk -v order="${methods[*]}" -v rssfile="$rss" "$awk_median"'
        BEGIN { while ((getline line < rssfile) > 0) { split(line, f, " "); rss[f[1]] = f[2] } }
        { t[$1, $2] = $3; c[$1, $2] = $4 + $5; if ($2 > n) n = $2 }
        END {
            m = split(order, names, " ")
            for (i = 1; i <= m; i++) {
                x = names[i]; all = ""; pr = ""; cpu = ""; lo = ""; hi = ""
                for (r = 1; r <= n; r++) {
                    all = all " " t[x, r]; pr = pr " " t[x, r] / t["bzip2", r]
                    cpu = cpu " " c[x, r]
                    if (lo == "" || t[x, r] < lo) lo = t[x, r]
                    if (hi == "" || t[x, r] > hi) hi = t[x, r]
                }
                med[x] = median(all, n); paired[x] = median(pr, n); mn[x] = lo; mx[x] = hi
                mcpu[x] = median(cpu, n)
            }
            for (i = 1; i <= m; i++) {
                x = names[i]
                printf "%s %.3f %.3f %.3f %.3f %.3f %.3f %.1f\n", x, med[x], mn[x], mx[x],
                    med[x] / med["bzip2"], paired[x], mcpu[x], rss[x] / 1024
            }
        }' "$times")
    printf '  %-28s %8s %8s %8s %7s %7s %8s %10s\n' method median min max ratio paired cpu \
        "peak RSS"
    local method m mn mx ratio paired cpu rss_mb ours_median=0 lbzip2_median=1 zours_median=0
    local ztar_median=1
    while read -r method m mn mx ratio paired cpu rss_mb; do
        printf '  %-28s %8s %8s %8s %7s %7s %8s %6s MiB\n' "${label[$method]}" "$m" "$mn" "$mx" \
            "$ratio" "$paired" "$cpu" "$rss_mb"
        [ "$method" = ours ] && ours_ratio=$ratio ours_median=$m
        [ "$method" = lbzip2 ] && lbzip2_median=$m
        [ "$method" = zours ] && zours_median=$m
        [ "$method" = ztar ] && ztar_median=$m
    done <<<"$table"
    echo "  ours / tar -I lbzip2 -xf: $(awk -v a="$ours_median" -v b="$lbzip2_median" \
        'BEGIN { printf "%.3f", a / b }')"
    echo "  ours on the zstd package / tar -I zstd -xf: $(awk -v a="$zours_median" \
        -v b="$ztar_median" 'BEGIN { printf "%.3f", a / b }')"

    echo "  durability: the default run (syncfs before and after the commit's renames) against"
    echo "  -nosync; ratio = durable median / -nosync median; paired = median over the rounds of"
    echo "  (durable run / -nosync run of the same round)"
    local package durable nosync
    printf '  %-16s %8s %8s %7s %7s\n' package durable -nosync ratio paired
    for package in bzip2 zstd; do
        if [ "$package" = bzip2 ]; then
            read -r durable nosync ratio paired < <(paired_medians ours oursns "$times")
        else
            read -r durable nosync ratio paired < <(paired_medians zours zoursns "$times")
        fi
        printf '  %-16s %8s %8s %7s %7s\n' "$package package" "$durable" "$nosync" "$ratio" \
            "$paired"
    done
    if [ -n "$baseline" ]; then
        # Ours without its syncfs calls against the baseline run as it is: like with like for a
        # baseline from before the installs were made durable.
        read -r _ _ ratio paired < <(paired_medians oursns base "$times")
        echo "  ours -nosync / baseline $base_short: ratio $ratio, paired $paired"
    fi
    return 0
}

# Prints "median-of-A median-of-B ratio paired" for the methods $1 and $2 from the timings in $3:
# the ratio of the medians, and the median over the rounds of A's run / B's run of that round.
paired_medians() {
    awk -v a="$1" -v b="$2" "$awk_median"'
        $1 == a { ta[$2] = $3 } $1 == b { tb[$2] = $3 }
        END {
            for (r in ta) { n++; x = x " " ta[r]; y = y " " tb[r]; q = q " " ta[r] / tb[r] }
            ma = median(x, n); mb = median(y, n)
            printf "%.3f %.3f %.3f %.3f\n", ma, mb, ma / mb, median(q, n)
        }' "$3"
}

# Packs the tree being measured once with packing method $1 into the new file $2.
run_pack() {
    local method=$1 out=$2
    case "$method" in
        pack) "$znpack" build -o "$out" --archive "$src" >/dev/null ;;
        pack1) ZN_THREADS=1 "$znpack" build -o "$out" --archive "$src" >/dev/null ;;
        tarj) tar -C "$src" -cjf "$out" . ;;
        tarl) tar -C "$src" -I lbzip2 -cf "$out" . ;;
    esac
}

# Times PACK_ROUNDS rounds of every packing method; appends "method round wall user system"
# lines to $1, as measure does.
measure_packing() {
    local out=$1 tree=$2 r method times TIMEFORMAT='%3R %3U %3S' file=$scratch/packed
    printf '%s: packing rounds:' "$tree"
    for ((r = 1; r <= pack_rounds; r++)); do
        printf ' %d' "$r"
        for method in "${pack_methods[@]}"; do
            rm -f "$file"
            sync
            times=$({ time run_pack "$method" "$file" 2>/dev/null; } 2>&1) ||
                die "$method failed on the $tree tree"
            echo "$method $r $times" >>"$out"
        done
    done
    rm -f "$file"
    echo
}

# Prints the packing table of the tree from the timings in $1.
report_packing() {
    local times=$1
    echo "  packing: $pack_rounds rounds round robin; wall clock in seconds (znpack build includes"
    echo "  its fsync); ratio = median / znpack build ZN_THREADS=1 median; cpu = median user + system"
    printf '  %-28s %8s %7s %8s\n' method median ratio cpu
    local method m ratio cpu
    while read -r method m ratio cpu; do
        printf '  %-28s %8s %7s %8s\n' "${pack_label[$method]}" "$m" "$ratio" "$cpu"
    done < <(awk -v order="${pack_methods[*]}" "$awk_median"'
        { t[$1] = t[$1] " " $3; c[$1] = c[$1] " " ($4 + $5); k[$1]++ }
        END {
            m = split(order, names, " ")
            for (i = 1; i <= m; i++) { x = names[i]; med[x] = median(t[x], k[x]); cpu[x] = median(c[x], k[x]) }
            for (i = 1; i <= m; i++) {
                x = names[i]
                printf "%s %.3f %.3f %.3f\n", x, med[x], med[x] / med["pack1"], cpu[x]
            }
        }' "$times")
}

echo "Installation benchmark: $rounds rounds per tree ($pack_rounds of packing), scratch in $scratch"
echo "  scratch file system: $(stat -f -c %T "$scratch") (what the durable runs' syncfs writes to)"
if [ -n "$baseline" ]; then
    echo "  baseline $baseline: $(git log -1 --format='%h %cs %s' "$baseline_commit" | cut -c1-80)"
fi
echo "  $(nproc) cores, $(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)," \
    "kernel $(uname -r)"
echo "  $(bzip2 --version 2>&1 </dev/null | sed -n '1s/.*Version \([^,]*\),.*/bzip2 \1/p')," \
    "$(zstd --version | sed -n 's/.*\(v[0-9][0-9.]*\).*/zstd \1/p'), $(tar --version | head -1)," \
    "$(makeself --version | head -1)," \
    "$(lbzip2 --version 2>&1 | head -1), $(pbzip2 --version 2>&1 | head -1)"
echo "  load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"
if [ -n "$baseline" ]; then build_baseline; fi

small_ratio=
for tree in "${trees[@]}"; do
    prepare "$tree"
    echo "$tree: warm-up round, checking that every method installs the tree as it is"
    warm_up_and_check "$tree"
    times=$scratch/$tree.times rss=$scratch/$tree.rss
    : >"$times"
    measure "$times" "$tree"
    echo "$tree: peak RSS, one more run of each"
    for method in "${methods[@]}"; do echo "$method $(peak_rss "$method")" >>"$rss"; done
    report "$tree" "$times" "$rss"
    packs=$scratch/$tree.packs
    : >"$packs"
    measure_packing "$packs" "$tree"
    report_packing "$packs"
    echo "  load average after the $tree tree: $(cut -d' ' -f1-3 /proc/loadavg)"
    [ "$tree" = small ] && small_ratio=$ours_ratio
    echo
done
echo "ours/bzip2 small: $small_ratio"
