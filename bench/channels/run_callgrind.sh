#!/bin/sh
# Counts the instructions of the channel table's LoadFromImage and StoreToImage (with
# NormalizeImage) under callgrind and compares them with the budget of 20 million each.
# Usage: bench/channels/run_callgrind.sh [build dir]   (default: build)
set -eu
build=${1:-build}
bin="$build/bin/vm_bench_channels"
[ -x "$bin" ] || { echo "no $bin: build the target vm_bench_channels first" >&2; exit 2; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out/cg.out" "$bin" \
    >/dev/null 2>"$out/log" || { cat "$out/log" >&2; exit 1; }
budget=20000000
status=0
for f in "$out"/cg.out.*; do
    name=$(sed -n 's/^desc: Trigger: Client Request: //p' "$f")
    count=$(sed -n 's/^summary: //p' "$f")
    [ -n "$name" ] || continue
    verdict=ok
    [ "$count" -le "$budget" ] || { verdict="OVER BUDGET"; status=1; }
    printf '%-30s %12s instructions (budget %s) %s\n' "$name" "$count" "$budget" "$verdict"
done
exit $status
