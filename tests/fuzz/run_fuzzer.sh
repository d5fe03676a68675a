#!/usr/bin/env bash
# run_fuzzer.sh FUZZER SEED_CORPUS SECONDS
# Runs one fuzz target for a bounded time. New inputs go to a scratch folder, so the committed
# seed corpus is only read.
set -euo pipefail
fuzzer=$1 seeds=$2 seconds=$3
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=16384 \
    -print_final_stats=1 "$scratch" "$seeds" 2>&1 | tail -n 25
