#!/usr/bin/env bash
# Checks the benchmark's tree generator: the same seed gives the same tree whatever the umask and
# the current directory, another seed gives another tree, the small preset has the shape the
# benchmark relies on, and bad arguments are refused without touching anything.
# Usage: make_tree_test.sh PATH-TO-make_tree
set -uo pipefail
make_tree=$(realpath "$1")
scratch=$(mktemp -d "${TMPDIR:-/tmp}/make_tree_test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# One line per entry: path, type, mode, size, link target.
manifest() {
    (cd "$1" && find . -printf '%p %y %m %s %l\n' | LC_ALL=C sort)
}

# 1. Same seed, same tree: the second run under another umask and from another directory.
"$make_tree" --preset tiny --seed 7 a >/dev/null || fail "tiny tree a not written"
mkdir elsewhere
(cd elsewhere && umask 077 && "$make_tree" --preset tiny --seed 7 ../b >/dev/null) ||
    fail "tiny tree b not written"
[ "$(manifest a)" = "$(manifest b)" ] || fail "same seed: names, modes or sizes differ"
diff -r --no-dereference a b >/dev/null || fail "same seed: contents differ"

# 2. Another seed, another tree (names and contents).
"$make_tree" --preset tiny --seed 8 c >/dev/null || fail "tiny tree c not written"
[ "$(manifest a)" != "$(manifest c)" ] || fail "seeds 7 and 8 gave the same names"
cmp -s <(cd a && find . -type f | LC_ALL=C sort | xargs cat 2>/dev/null) \
    <(cd c && find . -type f | LC_ALL=C sort | xargs cat 2>/dev/null) && fail "seeds 7 and 8: same bytes"

# 3. The small preset, as the benchmark packs it.
"$make_tree" --preset small s >/dev/null || fail "small tree not written"
files=$(find s -type f | wc -l)
bytes=$(find s -type f -printf '%s\n' | awk '{n += $1} END {print n}')
[ "$files" -eq 740 ] || fail "small: $files files, expected 740"
[ "$bytes" -eq 23000000 ] || fail "small: $bytes bytes, expected 23000000"
long=$(cd s && find . -mindepth 1 | sed 's|^\./||' | awk 'length($0) > 100' | wc -l)
[ "$long" -ge 5 ] || fail "small: $long paths over 100 bytes, expected at least 5"
# Every path must fit a ustar header: components under 100 bytes, the directory part within the
# 155-byte prefix.
bad=$(cd s && find . -mindepth 1 | sed 's|^\./||' | awk -F/ '{
    for (i = 1; i <= NF; i++) if (length($i) > 99) { print; next }
    if (length($0) - length($NF) - 1 > 155) print }')
[ -z "$bad" ] || fail "small: paths a ustar header cannot hold: $bad"
[ "$(find s -mindepth 2 -type d | wc -l)" -gt 0 ] || fail "small: no nested directories"
modes=$(find s -type f -printf '%m\n' | LC_ALL=C sort -u | tr '\n' ' ')
[ "$modes" = "644 755 " ] || fail "small: file modes are $modes, expected 644 and 755"
dir_modes=$(find s -type d -printf '%m\n' | LC_ALL=C sort -u | tr '\n' ' ')
[ "$dir_modes" = "755 " ] || fail "small: directory modes are $dir_modes, expected 755"
links=$(find s -type l | wc -l)
[ "$links" -ge 5 ] || fail "small: $links symbolic links, expected at least 5"
top=$(realpath s)
while IFS= read -r link; do
    target=$(readlink "$link")
    case "$target" in /*) fail "link $link is absolute: $target" ;; esac
    resolved=$(realpath -e "$link" 2>/dev/null) || { fail "link $link dangles: $target"; continue; }
    case "$resolved" in "$top"/*) ;; *) fail "link $link leaves the tree: $target" ;; esac
    [ -f "$resolved" ] || fail "link $link does not name a regular file: $target"
done < <(find s -type l)
# The mix: text that bzip2 shrinks several times over, binary data that it cannot shrink.
sample() { find s -type f \( "$@" \) -size +0 | LC_ALL=C sort | xargs cat 2>/dev/null | head -c 2000000; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }
text_in=$(sample -name '*.md' -o -name '*.c' | wc -c)
text_out=$(sample -name '*.md' -o -name '*.c' | bzip2 -9 | wc -c)
bin_in=$(sample -name '*.bin' -o -name '*.dat' | wc -c)
bin_out=$(sample -name '*.bin' -o -name '*.dat' | bzip2 -9 | wc -c)
awk -v r="$(ratio "$text_in" "$text_out")" 'BEGIN {exit !(r >= 3)}' ||
    fail "small: text compresses only $(ratio "$text_in" "$text_out")x"
awk -v r="$(ratio "$bin_in" "$bin_out")" 'BEGIN {exit !(r < 1.01)}' ||
    fail "small: binary compresses $(ratio "$bin_in" "$bin_out")x"
grep -q '[^[:print:][:space:]]' <(sample -name '*.md' | LC_ALL=C tr -d '\n') &&
    fail "small: prose holds unprintable bytes"

# 4. Refused: each row is arguments, expected exit status.
mkdir taken
touch taken/keep
while IFS='|' read -r args want; do
    # shellcheck disable=SC2086
    "$make_tree" $args >/dev/null 2>&1
    got=$?
    [ "$got" -eq "$want" ] || fail "make_tree $args: exit $got, expected $want"
done <<'EOF'
taken|1
--preset huge x1|2
--seed 12ab x2|2
--seed x3|2
--bogus x4|2
x5 x6|2
|2
EOF
[ "$(ls taken)" = keep ] || fail "an existing directory was written into"
for d in x1 x2 x3 x4 x5 x6; do [ -e "$d" ] && fail "refused run still made $d"; done

if [ "$failures" -ne 0 ]; then
    echo "$failures failed"
    exit 1
fi
echo "make_tree: all checks passed"
