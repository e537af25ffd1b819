#!/usr/bin/env bash
# Times build/bin/hashlist against sha1sum over one 1 GiB random file with a warm page cache.
# The file is made once under $BENCH_DIR (default /tmp/p2p-bench), outside the repository.
# Usage: bench/hashlist_vs_sha1sum.sh            (RUNS=5 by default; HASHLIST=path to override)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench_dir=${BENCH_DIR:-/tmp/p2p-bench}
hashlist=${HASHLIST:-$repo/build/bin/hashlist}
runs=${RUNS:-5}
size=$((1024 * 1024 * 1024))
data=$bench_dir/random-1GiB.bin

if [[ ! -x $hashlist ]]; then
    echo "no hashlist at $hashlist: build it first (cmake --build build --target hashlist)" >&2
    exit 1
fi
command -v sha1sum >/dev/null || { echo "sha1sum not found" >&2; exit 1; }

mkdir -p "$bench_dir"
if [[ ! -f $data || $(stat -c %s "$data") -ne $size ]]; then
    echo "generating $data ..."
    head -c "$size" /dev/urandom >"$data.part"
    mv "$data.part" "$data"
fi
cat "$data" >/dev/null  # warm the page cache so both tools measure hashing, not the disk

# Prints the wall time of each of $runs runs of "$@" in nanoseconds, one per line.
time_runs() {
    local i start end
    for ((i = 0; i < runs; i++)); do
        start=$(date +%s%N)
        "$@" >/dev/null
        end=$(date +%s%N)
        echo $((end - start))
    done
}

# Reads nanosecond times on stdin and prints "best median" in seconds.
best_and_median() {
    sort -n | awk '{ t[NR] = $1 } END {
        m = (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
        printf "%.3f %.3f\n", t[1] / 1e9, m / 1e9 }'
}

read -r hl_best hl_median < <(time_runs "$hashlist" "$data" | best_and_median)
read -r ss_best ss_median < <(time_runs sha1sum "$data" | best_and_median)

echo "file:      $data (1 GiB), $runs runs each, warm cache"
echo "hashlist:  best ${hl_best}s  median ${hl_median}s"
echo "sha1sum:   best ${ss_best}s  median ${ss_median}s"
awk -v a="$hl_best" -v b="$ss_best" -v c="$hl_median" -v d="$ss_median" \
    'BEGIN { printf "ratio hashlist/sha1sum: best %.3f  median %.3f\n", a / b, c / d }'
