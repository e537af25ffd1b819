#!/usr/bin/env bash
# Times build/bin/hashlist on one random file with a warm page cache: on the CPU's SHA-1 block
# function, with the portable one forced (P2P_SHA1_PORTABLE=1), against sha1sum and, when
# installed, openssl sha1. Prints the median wall time of each and the two ratios that matter:
# portable hashlist / sha1sum (target <= 1.0) and hashlist / openssl (target <= 1.2).
# The file is made once under $BENCH_DIR (default /tmp/p2p-bench), outside the repository.
# Usage: bench/hashlist_vs_sha1sum.sh [--size MIB] [--runs N]    (256 MiB, 3 runs; HASHLIST=path)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
bench_dir=${BENCH_DIR:-/tmp/p2p-bench}
hashlist=${HASHLIST:-$repo/build/bin/hashlist}
runs=${RUNS:-3}
size_mib=256

usage() {
    echo "usage: $0 [--size MIB] [--runs N]" >&2
    exit 2
}
while (($# > 0)); do
    case $1 in
    --size) size_mib=${2:-}; shift 2 || usage ;;
    --runs) runs=${2:-}; shift 2 || usage ;;
    *) usage ;;
    esac
done
[[ $size_mib =~ ^[1-9][0-9]*$ ]] || { echo "--size wants a whole number of MiB" >&2; exit 2; }
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "--runs wants a positive whole number" >&2; exit 2; }

if [[ ! -x $hashlist ]]; then
    echo "no hashlist at $hashlist: build it first (cmake --build build --target hashlist)" >&2
    exit 1
fi
command -v sha1sum >/dev/null || { echo "sha1sum not found" >&2; exit 1; }
have_openssl=0
command -v openssl >/dev/null && have_openssl=1

size=$((size_mib * 1024 * 1024))
data=$bench_dir/random-${size_mib}MiB.bin
mkdir -p "$bench_dir"
if [[ ! -f $data || $(stat -c %s "$data") -ne $size ]]; then
    echo "generating $data ..."
    head -c "$size" /dev/urandom >"$data.part"
    mv "$data.part" "$data"
fi
cat "$data" >/dev/null  # warm the page cache so every tool measures hashing, not the disk

# Prints the wall time of one run of "$@" in nanoseconds.
time_once() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null
    end=$(date +%s%N)
    echo $((end - start))
}

# Reads nanosecond times on stdin and prints their median in seconds.
median() {
    sort -n | awk '{ t[NR] = $1 } END {
        m = (NR % 2) ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
        printf "%.3f\n", m / 1e9 }'
}

# The tools take turns within each round, so a burst of load elsewhere hits all of them alike.
times=$(mktemp -d)
trap 'rm -rf "$times"' EXIT
for ((i = 0; i < runs; i++)); do
    time_once "$hashlist" "$data" >>"$times/hw"
    time_once env P2P_SHA1_PORTABLE=1 "$hashlist" "$data" >>"$times/portable"
    time_once sha1sum "$data" >>"$times/sha1sum"
    if ((have_openssl)); then time_once openssl sha1 "$data" >>"$times/openssl"; fi
done

hw=$(median <"$times/hw")
portable=$(median <"$times/portable")
ss=$(median <"$times/sha1sum")
sha_flag=no
grep -qw sha_ni /proc/cpuinfo 2>/dev/null && sha_flag=yes

echo "file: $data ($size_mib MiB), median of $runs runs each, warm cache; CPU SHA instructions: $sha_flag"
printf '%-22s %8ss  %8.1f MB/s\n' "hashlist" "$hw" "$(awk -v s="$size" -v t="$hw" 'BEGIN { print s / t / 1e6 }')"
printf '%-22s %8ss  %8.1f MB/s\n' "hashlist (portable)" "$portable" \
    "$(awk -v s="$size" -v t="$portable" 'BEGIN { print s / t / 1e6 }')"
printf '%-22s %8ss  %8.1f MB/s\n' "sha1sum" "$ss" "$(awk -v s="$size" -v t="$ss" 'BEGIN { print s / t / 1e6 }')"
awk -v a="$portable" -v b="$ss" \
    'BEGIN { printf "ratio hashlist(portable)/sha1sum: %.3f  (target <= 1.0)\n", a / b }'
if ((have_openssl)); then
    os=$(median <"$times/openssl")
    printf '%-22s %8ss  %8.1f MB/s\n' "openssl sha1" "$os" \
        "$(awk -v s="$size" -v t="$os" 'BEGIN { print s / t / 1e6 }')"
    awk -v a="$hw" -v b="$os" 'BEGIN { printf "ratio hashlist/openssl:           %.3f  (target <= 1.2)\n", a / b }'
else
    echo "openssl not found: no hardware comparison"
fi
