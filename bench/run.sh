#!/usr/bin/env bash
# Benchmarks ceupdate against the peers a user would pick instead, on the same
# deterministic workloads, in one go (compare ratios within one run):
#   W1  import a registry script of 100,000 values: ceupdate run, hivexregedit --merge
#       (into a copy of an empty hive), the sqlite3 CLI inserting the same values in
#       one transaction
#   W2  patch three databases of 10,000 records with 1,000 entries each: ceupdate run,
#       the sqlite3 CLI (one UPDATE of the first matching row per entry, one
#       transaction per database), and a plain C++ scan in memory (the floor)
#   growth: W1 at 25k .. 200k values, W2 at 1k x 5k, 1k x 10k, 2k x 10k
#   record scan: the installer's scan of one database through the device against the
#   same compare loop over a plain vector (bench/record_scan_bench.cpp)
#   know before you install, on the W1 and W2 updates: ceupdate check (time against
#   a run timed in turns with it, peak memory), lint of W1's script (W2 has none), diff
#   of the image before and after the run
# Every figure is the median of RUNS runs (default 3); peak memory is the largest
# resident set seen. Each ratio is also printed as one line
#   ratio NAME VALUE target OP LIMIT
# Usage: bench/run.sh            (BENCH_BUILD_DIR, default build-bench; RUNS)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
runs="${RUNS:-3}"
build="${BENCH_BUILD_DIR:-build-bench}"
hive_template="${BENCH_HIVE:-$root/../shared/bench-data/minimal}"

source scripts/lib.sh
ensure_packages cmake g++ make libsqlite3-dev libicu-dev libcli11-dev nlohmann-json3-dev \
  libbenchmark-dev libgtest-dev sqlite3 libwin-hivex-perl time bc
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCEUPDATE_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target ceupdate gen_workload record_scan_bench >/dev/null
ceupdate="$root/$build/ceupdate"
gen="$root/$build/bench/gen_workload"
[ -f "$hive_template" ] || { echo "bench: no empty hive at $hive_template (BENCH_HIVE)" >&2; exit 2; }

work="$(mktemp -d "${TMPDIR:-/tmp}/ceupdate-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# timed PREP CMD...: runs PREP (not timed, may be ":"), then CMD with stdout and stdin
# on /dev/null; appends "seconds peak_kib" to $SAMPLES (default $work/samples). An exit
# code above MAX_STATUS (default 0) fails the benchmark: check, lint and diff exit 1
# when they report something.
timed() {
  local prep="$1"
  shift
  eval "$prep"
  local start end status=0
  start=$(date +%s.%N)
  /usr/bin/time -f "%M" -o "$work/rss" "$@" </dev/null >/dev/null 2>"$work/err" || status=$?
  if [ "$status" -gt "${MAX_STATUS:-0}" ]; then
    echo "bench: failed: $*" >&2
    cat "$work/err" >&2
    exit 2
  fi
  end=$(date +%s.%N)
  echo "$(echo "$end - $start" | bc -l) $(tail -1 "$work/rss")" >>"${SAMPLES:-$work/samples}"
}

# summarise NAME FILE: sets T[NAME] (median seconds), M[NAME] (peak MiB) from samples.
declare -A T M
summarise() {
  T[$1]=$(sort -n "$2" | awk '{s[NR]=$1} END {print s[int((NR+1)/2)]}')
  M[$1]=$(awk 'BEGIN {m=0} {if ($2>m) m=$2} END {printf "%.1f", m/1024}' "$2")
}

# measure NAME PREP CMD...: RUNS runs of CMD, each after PREP.
measure() {
  local name="$1"
  shift
  : >"$work/samples"
  for _ in $(seq "$runs"); do timed "$@"; done
  summarise "$name" "$work/samples"
}

# measure_check_beside_run W PREP UPDATE_DIR: RUNS runs each of "run" and "check" on
# the update, taken in turns (run, check, run, check, ...) and each after PREP, so
# that their ratio sees the machine as it was for both; sets T and M of
# run-beside-check-W and check-W.
measure_check_beside_run() {
  local w="$1" prep="$2" update="$3"
  : >"$work/samples-run"
  : >"$work/samples-check"
  for _ in $(seq "$runs"); do
    SAMPLES="$work/samples-run" timed "$prep" "$ceupdate" run --yes --device "$work/img" "$update"
    SAMPLES="$work/samples-check" MAX_STATUS=1 timed "$prep" "$ceupdate" check --device "$work/img" "$update"
  done
  summarise "run-beside-check-$w" "$work/samples-run"
  summarise "check-$w" "$work/samples-check"
}

# A figure that a program reports itself (the in-memory floor): median of RUNS.
measure_reported() {
  local name="$1"
  shift
  : >"$work/samples"
  for _ in $(seq "$runs"); do "$@" >>"$work/samples"; done
  summarise "$name" "$work/samples"
  M[$name]="-"
}

ratio_line() {  # NAME VALUE OP LIMIT
  printf 'ratio %s %.3f target %s %s\n' "$1" "$2" "$3" "$4"
}
div() { echo "scale=12; $1 / $2" | bc -l; }

run_w1() {  # VALUES -> T[ceupdate-w1-VALUES]
  local n="$1" dir="$work/w1-$1"
  "$gen" w1 "$n" "$dir"
  measure "ceupdate-w1-$n" "rm -rf '$work/img' && '$ceupdate' init '$work/img' >/dev/null" \
    "$ceupdate" run --yes --device "$work/img" "$dir/update"
}

# know W: check, lint and diff on workload W's update and the image its run made
# (check starts from the same image as the run, and is timed in turns with a run of
# its own for the check-vs-run ratio; diff compares the run's image before and after).
know() {  # W PREP_IMAGE UPDATE_DIR BEFORE_IMAGE AFTER_IMAGE [SCRIPT]
  local w="$1" prep="$2" update="$3" before="$4" after="$5" script="${6:-}"
  measure_check_beside_run "$w" "$prep" "$update"
  MAX_STATUS=1 measure "diff-$w" ":" "$ceupdate" diff "$before" "$after"
  if [ -n "$script" ]; then MAX_STATUS=1 measure "lint-$w" ":" "$ceupdate" lint "$script"; fi
}

run_w2() {  # ENTRIES RECORDS -> T[ceupdate-w2-E-R]
  local e="$1" r="$2" dir="$work/w2-$1-$2"
  "$gen" w2 "$e" "$r" "$dir"
  measure "ceupdate-w2-$e-$r" "rm -rf '$work/img' && cp -a '$dir/image' '$work/img'" \
    "$ceupdate" run --yes --device "$work/img" "$dir/update"
}

echo "ceupdate benchmarks: median of $runs runs, $(nproc) cores, $(date -u +%Y-%m-%dT%H:%MZ)"

# ---- W1 ----
run_w1 100000
w1="$work/w1-100000"
measure hivexregedit-w1 "cp '$hive_template' '$work/hive'" \
  env PERL5OPT='-Mopen=IN,:encoding(UTF-16LE)' hivexregedit --merge --prefix HKEY_CURRENT_USER \
  "$work/hive" "$w1/update/bench.reg"
measure sqlite3-w1 "rm -f '$work/w1.db'" sh -c "sqlite3 '$work/w1.db' < '$w1/w1.sql'"
measure read-w1 ":" cat "$w1/update/bench.reg"
"$ceupdate" init "$work/w1-before" >/dev/null
rm -rf "$work/w1-after" && cp -a "$work/img" "$work/w1-after"
know w1 "rm -rf '$work/img' && '$ceupdate' init '$work/img' >/dev/null" "$w1/update" \
  "$work/w1-before" "$work/w1-after" "$w1/update/bench.reg"

# ---- W2 ----
run_w2 1000 10000
w2="$work/w2-1000-10000"
prep_sql="rm -f '$work'/w2-*.db"
for d in 0 1 2; do prep_sql="$prep_sql && sqlite3 '$work/w2-$d.db' < '$w2/w2-setup-$d.sql'"; done
measure sqlite3-w2 "$prep_sql" sh -c "for d in 0 1 2; do sqlite3 '$work'/w2-\$d.db < '$w2'/w2-update-\$d.sql; done"
measure_reported floor-w2 "$gen" floor 1000 10000 "$w2"
rm -rf "$work/w2-after" && cp -a "$work/img" "$work/w2-after"
know w2 "rm -rf '$work/img' && cp -a '$w2/image' '$work/img'" "$w2/update" "$w2/image" "$work/w2-after"

# ---- record scan ----
record_scan="$("$root/$build/bench/record_scan_bench" 2>/dev/null | grep '^ratio ' || true)"

# ---- growth ----
for n in 25000 50000 200000; do run_w1 "$n"; done
run_w2 1000 5000
run_w2 2000 10000

echo
printf '%-34s %10s %10s\n' "figure" "seconds" "peak MiB"
for name in ceupdate-w1-100000 hivexregedit-w1 sqlite3-w1 read-w1 run-beside-check-w1 check-w1 lint-w1 \
  diff-w1 ceupdate-w2-1000-10000 sqlite3-w2 floor-w2 run-beside-check-w2 check-w2 diff-w2; do
  printf '%-34s %10.3f %10s\n' "$name" "${T[$name]}" "${M[$name]}"
done
echo
echo "growth (seconds, and microseconds per value or per entry x record / 1000):"
for n in 25000 50000 100000 200000; do
  printf '  W1 %6d values        %8.3f s  %7.3f us/value\n' "$n" "${T[ceupdate-w1-$n]}" \
    "$(echo "${T[ceupdate-w1-$n]} * 1000000 / $n" | bc -l)"
done
for er in "1000 5000" "1000 10000" "2000 10000"; do
  set -- $er
  printf '  W2 %5d x %6d      %8.3f s  %7.3f us/(E x R / 1000)\n' "$1" "$2" "${T[ceupdate-w2-$1-$2]}" \
    "$(echo "${T[ceupdate-w2-$1-$2]} * 1000000000 / ($1 * $2)" | bc -l)"
done
echo

w1t="${T[ceupdate-w1-100000]}"
w2t="${T[ceupdate-w2-1000-10000]}"
ratio_line W1/hivexregedit "$(div "$w1t" "${T[hivexregedit-w1]}")" "<=" 0.10
ratio_line W1/sqlite3-inserts "$(div "$w1t" "${T[sqlite3-w1]}")" "<" 1.00
ratio_line W2/in-memory-floor "$(div "$w2t" "${T[floor-w2]}")" "<=" 2.00
ratio_line W2/sqlite3-updates "$(div "$w2t" "${T[sqlite3-w2]}")" "<=" 0.50
ratio_line W1/peak-MiB "${M[ceupdate-w1-100000]}" "<=" 64
ratio_line W2/peak-MiB "${M[ceupdate-w2-1000-10000]}" "<=" 64
# Growth: time per unit at the largest size over time per unit at the smallest.
ratio_line W1/growth-200k-vs-25k \
  "$(div "$(div "${T[ceupdate-w1-200000]}" 200000)" "$(div "${T[ceupdate-w1-25000]}" 25000)")" "<=" 1.50
ratio_line W2/growth-2kx10k-vs-1kx5k \
  "$(div "$(div "${T[ceupdate-w2-2000-10000]}" 20000000)" "$(div "${T[ceupdate-w2-1000-5000]}" 5000000)")" "<=" 1.50
# Know before you install: check against the run it previews, and every command's peak.
ratio_line W1/check-vs-run "$(div "${T[check-w1]}" "${T[run-beside-check-w1]}")" "<=" 1.5
ratio_line W2/check-vs-run "$(div "${T[check-w2]}" "${T[run-beside-check-w2]}")" "<=" 1.5
for figure in check-w1 lint-w1 diff-w1 check-w2 diff-w2; do
  w="${figure#*-}"
  ratio_line "${w^^}/${figure%-*}-peak-MiB" "${M[$figure]}" "<=" 64
done
echo "$record_scan"
