#!/usr/bin/env bash
# Long fuzzing in one command: every target (or the ones named) for a given
# time or number of runs, N at once, each seeded from the corpora the tests
# write. A target that finds a fault keeps its input under
# build-fuzz/findings/<target>/ and goes on fuzzing for the rest of its time.
# Prints one line per target: runs, runs per second, coverage, findings; the
# exit status is 1 when anything was found.
#
#   fuzz/run-long.sh [-t seconds] [-r runs] [-j N] [-c cores] [target...]
#     -t  time per target (default 1500 s when -r is not given)
#     -r  runs per target; with -t, whichever comes first
#     -j  targets at once (default 1)
#     -c  comma-separated cores to pin the running targets to, one each
#
# Seeds come from build/fuzz-seeds (the normal build's tests write them);
# the fuzz build is made when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
. fuzz/fuzz-lib.sh

seconds= runs= parallel=1 cores=
while getopts "t:r:j:c:h" opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    r) runs=$OPTARG ;;
    j) parallel=$OPTARG ;;
    c) cores=$OPTARG ;;
    *) sed -n '2,15p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ -n "$seconds$runs" ] || seconds=1500

[ -d "$fuzz_build_dir/fuzz" ] || fuzz_build 4 >/dev/null
[ -d build/fuzz-seeds ] || echo "note: no build/fuzz-seeds: build and run the tests first for seeds" >&2

targets=()
if [ $# -gt 0 ]; then
  for name in "$@"; do targets+=("$fuzz_build_dir/fuzz/$name"); done
else
  mapfile -t targets < <(fuzz_targets)
fi
IFS=, read -r -a core_list <<<"${cores:-}"

# Logs of this run; several runs may go on at once.
mkdir -p "$fuzz_build_dir"
results=$(mktemp -d "$fuzz_build_dir/long-run.XXXXXX")

# One target in the foreground of its slot: runs again after each finding
# until its time or runs are used up.
run_target() {
  local target=$1 core=$2 name start left done_runs=0 findings=0 pass=0 log
  name=$(basename "$target")
  local corpus findings_dir=$fuzz_build_dir/findings/$name
  corpus=$(fuzz_corpus "$name")
  mkdir -p "$findings_dir"
  local -a options pin=()
  mapfile -t options < <(fuzz_options "$name")
  [ -n "$core" ] && pin=(taskset -c "$core")
  start=$(date +%s)
  while :; do
    local -a limit=()
    if [ -n "$runs" ]; then
      left=$((runs - done_runs))
      [ "$left" -gt 0 ] || break
      limit+=(-runs="$left")
    fi
    if [ -n "$seconds" ]; then
      left=$((seconds - ($(date +%s) - start)))
      [ "$left" -gt 0 ] || break
      limit+=(-max_total_time="$left")
    fi
    log=$results/$name.$pass.log
    if "${pin[@]}" "$target" "${limit[@]}" -rss_limit_mb=2048 -timeout=25 -print_final_stats=1 \
      -artifact_prefix="$findings_dir/" "${options[@]}" "$corpus" >"$log" 2>&1; then
      done_runs=$((done_runs + $(executed "$log")))
      break
    fi
    findings=$((findings + 1))
    done_runs=$((done_runs + $(executed "$log")))
    cp "$log" "$findings_dir/"
    pass=$((pass + 1))
  done
  echo "$findings" >"$results/$name.findings"
  local elapsed=$(($(date +%s) - start))
  [ "$elapsed" -gt 0 ] || elapsed=1
  printf '%-22s runs %10d  runs/s %7d  cov %6s  ft %7s  findings %d%s\n' "$name" "$done_runs" \
    $((done_runs / elapsed)) "$(last_match "$results/$name".*.log 'cov: ([0-9]+)')" \
    "$(last_match "$results/$name".*.log 'ft: ([0-9]+)')" "$findings" \
    "$([ "$findings" -gt 0 ] && echo "  (inputs in $findings_dir)")"
}

# Inputs a libFuzzer log reports as run: its final count, or the last status
# line's when it stopped at a finding.
executed() {
  local n
  n=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$1" | tail -n 1)
  [ -n "$n" ] || n=$(sed -n 's/^#\([0-9][0-9]*\).*/\1/p' "$1" | tail -n 1)
  echo "${n:-0}"
}

last_match() {
  local pattern=${*: -1} files=("${@:1:$#-1}")
  grep -hoE "$pattern" "${files[@]}" 2>/dev/null | tail -n 1 | grep -oE '[0-9]+' || echo "-"
}

# A pool of `parallel` slots; slot k runs on core k of the list when given.
declare -A slot_of=()
free=()
for ((k = 0; k < parallel; k++)); do free+=("$k"); done
for target in "${targets[@]}"; do
  if [ ! -x "$target" ]; then
    echo "no fuzz target $target" >&2
    exit 2
  fi
  if [ ${#free[@]} -eq 0 ]; then
    wait -n -p finished || true
    free+=("${slot_of[$finished]}")
    unset "slot_of[$finished]"
  fi
  slot=${free[0]}
  free=("${free[@]:1}")
  core=
  [ ${#core_list[@]} -gt 0 ] && core=${core_list[$((slot % ${#core_list[@]}))]}
  run_target "$target" "$core" &
  slot_of[$!]=$slot
done
wait
total=$(cat "$results"/*.findings 2>/dev/null | awk '{s += $1} END {print s + 0}')
if [ "$total" -ne 0 ]; then
  echo "$total finding(s): inputs under $fuzz_build_dir/findings, logs in $results"
  exit 1
fi
rm -rf "$results"
