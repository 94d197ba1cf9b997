#!/usr/bin/env bash
# Runs the fuzzers one after the other, each bounded in time or runs,
# with its output in build/fuzz/logs/ and a summary line on stdout; on a
# failure the end of the fuzzer's log is shown and the failing input is left
# in build/fuzz/artifacts/. Called by `make fuzz-smoke` and `make fuzz`,
# which build the fuzzers first.
#
#   fuzz/run.sh smoke        bounded run of `make test`
#   fuzz/run.sh long [SECS]  SECS seconds per fuzzer (default 600)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-smoke}
dir=build/fuzz
case "$mode" in
smoke)
    tenor_limit=(-max_total_time=15)
    calendar_limit=(-max_total_time=25)
    reader_limit=(-max_total_time=15)
    python_limit=(-atheris_runs=60000)
    ;;
long)
    secs=${2:-600}
    tenor_limit=(-max_total_time="$secs")
    calendar_limit=(-max_total_time="$secs")
    reader_limit=(-max_total_time="$secs")
    python_limit=(-max_total_time="$secs")
    ;;
*)
    echo "usage: $0 smoke|long [seconds]" >&2
    exit 2
    ;;
esac

# Grown corpora stay in build/fuzz/work between runs; the committed seeds
# and the embedded calendar document are read alongside.
mkdir -p "$dir"/work/tenor "$dir"/work/calendar "$dir"/work/json "$dir"/work/names "$dir"/work/python "$dir"/seed-calendar "$dir"/logs "$dir"/artifacts
cp src/calendar/btcusdt.json "$dir"/seed-calendar/btcusdt.json

summary() {  # name log seconds
    local runs cov
    runs=$(grep -aoE '^Done [0-9]+' "$2" | grep -oE '[0-9]+' | tail -1 || true)
    cov=$(grep -aoE 'cov: [0-9]+ ft: [0-9]+ corp: [0-9]+' "$2" | tail -1 || true)
    printf '%-24s %10s runs in %4ss   %s\n' "$1" "${runs:-?}" "$3" "${cov:-}"
}

run() {  # name command...
    local name=$1 log="$dir/logs/$1.log" start status=0
    shift
    start=$(date +%s)
    "$@" >"$log" 2>&1 || status=$?
    summary "$name" "$log" "$(($(date +%s) - start))"
    if [ "$status" != 0 ]; then
        tail -n 60 "$log"
        echo "fuzzer $name failed (exit $status); full log: $log" >&2
        exit 1
    fi
}

common=(-timeout=10 -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$dir"/artifacts/)

run fuzz_tenor "$dir"/parsers/fuzz_tenor "${common[@]}" "${tenor_limit[@]}" -dict=fuzz/tenor.dict \
    "$dir"/work/tenor fuzz/corpus/tenor
run fuzz_calendar_document "$dir"/parsers/fuzz_calendar_document "${common[@]}" "${calendar_limit[@]}" \
    -dict=fuzz/calendar.dict "$dir"/work/calendar fuzz/corpus/calendar "$dir"/seed-calendar
run fuzz_json_columns "$dir"/parsers/fuzz_json_columns "${common[@]}" "${reader_limit[@]}" \
    -dict=fuzz/json.dict "$dir"/work/json fuzz/corpus/json
run fuzz_instrument_names "$dir"/parsers/fuzz_instrument_names "${common[@]}" "${reader_limit[@]}" \
    -dict=fuzz/names.dict "$dir"/work/names fuzz/corpus/names
run fuzz_entry_points env KORVEX_FUZZ_MODULE_DIR="$dir"/cov/module KORVEX_FUZZ_REPORT=1 \
    .venv/bin/python fuzz/fuzz_entry_points.py "${common[@]}" "${python_limit[@]}" \
    -max_len=1024 -len_control=0 "$dir"/work/python
grep -a -m1 '^calls by entry point' "$dir"/logs/fuzz_entry_points.log || true
