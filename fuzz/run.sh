#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build (make fuzz) for SECONDS each on its corpus, seeded by
# make_corpus.py. Inputs that crash, leak or hang are kept as BUILD/fuzz/artifacts/<target>-*;
# every target runs, and the status is 1 when any of them found something.
#   fuzz/run.sh BUILD [SECONDS] [TARGET...]
set -euo pipefail
build=${1:?usage: fuzz/run.sh BUILD [SECONDS] [TARGET...]}
seconds=${2:-60}
shift $(( $# < 2 ? $# : 2 ))
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_datagram fuzz_datagram_adaptive fuzz_datagram_swarm fuzz_control fuzz_hashfile fuzz_peerlist
           fuzz_user_input fuzz_netsim fuzz_seal)
fi
here=$(cd "$(dirname "$0")" && pwd)
# Absolute: fuzz_user_input works in a folder of its own.
out=$(cd "$build" && pwd)/fuzz
python3 "$here/make_corpus.py" "$out/seeds"
mkdir -p "$out/artifacts" "$out/logs"

failed=()
for t in "${targets[@]}"; do
  mkdir -p "$out/corpus/$t"
  log=$out/logs/$t.log
  # The targets print what the peer prints; -close_fd_mask=3 sends it to /dev/null, while the
  # fuzzer's and the sanitizers' reports still reach the log.
  if UBSAN_OPTIONS=print_stacktrace=1 "$out/$t" -max_total_time="$seconds" -timeout=10 \
      -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$out/artifacts/$t-" \
      "$out/corpus/$t" "$out/seeds/$t" > "$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    echo "fuzz $t: ${runs:-?} runs in $seconds s, $cov, corpus $(ls "$out/corpus/$t" | wc -l): ok"
  else
    echo "fuzz $t: FAILED (log $log)"
    grep -E -A30 '^==[0-9]+==|SUMMARY|fuzz_[a-z_]*: |Test unit written|deadly signal' "$log" | head -60
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: faults found by ${failed[*]}"
  exit 1
fi
