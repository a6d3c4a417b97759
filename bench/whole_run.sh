#!/usr/bin/env bash
# Prints what one whole run with input 8 costs for a given binary: instructions
# executed by the whole process under callgrind, and peak resident memory.
# With --max-instructions N it is also a ceiling: exit status 1, saying by how
# much, when the run executes more than N instructions.
# Usage: bench/whole_run.sh [--max-instructions N] [BINARY]
#        (default BINARY: build/release/join_order_search; RUNS=K runs K times
#        for the peak, 10 by default)
set -euo pipefail

usage() {
    echo "usage: whole_run.sh [--max-instructions N] [BINARY]" >&2
    exit 2
}

ceiling=
while [ $# -gt 0 ]; do
    case $1 in
        --max-instructions)
            [ $# -ge 2 ] && [[ $2 =~ ^[0-9]+$ ]] || usage
            ceiling=$2
            shift 2
            ;;
        -*) usage ;;
        *) break ;;
    esac
done
[ $# -le 1 ] || usage
binary=${1:-build/release/join_order_search}
runs=${RUNS:-10}
[ -x "$binary" ] || { echo "whole_run.sh: no program at $binary; build it first" >&2; exit 2; }
command -v valgrind >/dev/null || { echo "whole_run.sh: needs valgrind" >&2; exit 2; }
[ -x /usr/bin/time ] || { echo "whole_run.sh: needs /usr/bin/time (Debian package time)" >&2; exit 2; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Instruction counts are the same from run to run, whatever else the machine does.
echo 8 | valgrind --tool=callgrind --callgrind-out-file="$scratch/callgrind.out" "$binary" \
    >"$scratch/out" 2>"$scratch/callgrind.log"
instructions=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$scratch/callgrind.log")
[ -n "$instructions" ] || { echo "whole_run.sh: callgrind reported no count" >&2; cat "$scratch/callgrind.log" >&2; exit 2; }
grep -q '^Join Order: ' "$scratch/out" || { echo "whole_run.sh: the run under callgrind printed no result" >&2; exit 2; }

# Resident memory varies a little with thread timing: report the highest seen.
peak=0
for _ in $(seq "$runs"); do
    kib=$(echo 8 | /usr/bin/time -f %M "$binary" 2>&1 >/dev/null | tail -n 1)
    [ "$kib" -gt "$peak" ] && peak=$kib
done

millions() { awk -v n="$1" 'BEGIN { printf "%.2f", n / 1e6 }'; }
printf 'binary: %s\n' "$binary"
printf 'instructions: %s (%s million)\n' "$instructions" "$(millions "$instructions")"
printf 'peak resident: %s KiB (%s MiB), highest of %s runs\n' "$peak" "$(awk -v k="$peak" 'BEGIN { printf "%.2f", k / 1024 }')" "$runs"

if [ -n "$ceiling" ]; then
    if [ "$instructions" -gt "$ceiling" ]; then
        over=$((instructions - ceiling))
        printf 'over the ceiling of %s instructions by %s (%s million, %s%%)\n' "$ceiling" "$over" \
            "$(millions "$over")" "$(awk -v o="$over" -v c="$ceiling" 'BEGIN { printf "%.1f", 100 * o / c }')"
        exit 1
    fi
    printf 'within the ceiling of %s instructions, by %s\n' "$ceiling" "$((ceiling - instructions))"
fi
