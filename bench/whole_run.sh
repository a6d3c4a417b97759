#!/usr/bin/env bash
# Prints what one whole run with input 8 costs for a given binary: instructions
# executed by the whole process under callgrind, and peak resident memory.
# Usage: bench/whole_run.sh [BINARY]   (default: build/release/join_order_search)
set -euo pipefail

binary=${1:-build/release/join_order_search}
runs=${RUNS:-10}
[ -x "$binary" ] || { echo "whole_run.sh: no program at $binary; build it first" >&2; exit 2; }
command -v valgrind >/dev/null || { echo "whole_run.sh: needs valgrind" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "whole_run.sh: needs /usr/bin/time (Debian package time)" >&2; exit 2; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Instruction counts are the same from run to run, whatever else the machine does.
echo 8 | valgrind --tool=callgrind --callgrind-out-file="$scratch/callgrind.out" "$binary" \
    >/dev/null 2>"$scratch/callgrind.log"
instructions=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$scratch/callgrind.log")

# Resident memory varies a little with thread timing: report the highest seen.
peak=0
for _ in $(seq "$runs"); do
    kib=$(echo 8 | /usr/bin/time -f %M "$binary" 2>&1 >/dev/null | tail -n 1)
    [ "$kib" -gt "$peak" ] && peak=$kib
done

printf 'binary: %s\n' "$binary"
printf 'instructions: %s (%s million)\n' "$instructions" "$(awk -v n="$instructions" 'BEGIN { printf "%.1f", n / 1e6 }')"
printf 'peak resident: %s KiB (%s MiB), highest of %s runs\n' "$peak" "$(awk -v k="$peak" 'BEGIN { printf "%.2f", k / 1024 }')" "$runs"
