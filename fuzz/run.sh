#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each for SECONDS,
# one after another, starting from the seed corpora.
# Usage: fuzz/run.sh SECONDS [TARGET...]   (targets: script_import_fuzz patch_job_fuzz
#        json_loaders_fuzz reg_import_fuzz; default all)
# Working corpora grow in BUILD/fuzz-corpus/<target>, findings land in
# BUILD/fuzz-artifacts/; BUILD is build-fuzz unless FUZZ_BUILD_DIR says otherwise.
# Exit 1 when a target found something.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:?usage: fuzz/run.sh SECONDS [TARGET...]}"
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(script_import_fuzz patch_job_fuzz json_loaders_fuzz reg_import_fuzz)

source scripts/lib.sh
ensure_packages clang-14 libclang-rt-14-dev

build="${FUZZ_BUILD_DIR:-build-fuzz}"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCEUPDATE_FUZZ=ON -DBUILD_TESTING=OFF -DCEUPDATE_BENCH=OFF >/dev/null
cmake --build "$build" -j2 --target fuzz_seeds "${targets[@]}"

seeds="$build/fuzz-seeds"
rm -rf "$seeds"
"$build/fuzz/fuzz_seeds" "$seeds"
mkdir -p "$build/fuzz-artifacts" "$build/fuzz-logs"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for t in "${targets[@]}"; do
  corpus="$build/fuzz-corpus/$t"
  mkdir -p "$corpus"
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  log="$build/fuzz-logs/$t.log"
  echo "== $t: $seconds s"
  if "$build/fuzz/$t" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -max_len=16384 \
      -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$t-" "${dict[@]}" \
      "$corpus" "$seeds/$t" >"$log" 2>&1; then
    grep -E "^stat::(number_of_executed_units|peak_rss_mb)|(DONE|INITED) +cov:" "$log" | tail -4 || true
  else
    echo "$t FOUND A FAULT: see $log and $build/fuzz-artifacts/"
    grep -E "ERROR|SUMMARY|runtime error" "$log" | head -5 || true
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}"
  exit 1
fi
echo "fuzzing: no faults in ${targets[*]}"
