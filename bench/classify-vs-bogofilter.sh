#!/usr/bin/env bash
# Times "vorla classify" over 2,000 stored ~5 KB messages with 1,000 active global rules beside
# Debian's bogofilter classifying the same files in bulk mode (trained on 400 of them first),
# and prints both rates in messages per second and their ratio.
# Then times "vorla filter" (Run Filters) over 10,000 such messages stored in the account's
# quarantine, where those no rule decides stay: the classification of stored mail without the
# moves (RUN_FILTERS=0 skips it). With RUN_FILTERS=moves the messages lie in the vorla folder
# instead, so that every undecided one is moved (written, synced) to the quarantine.
# VORLA_BIN names another vorla program to time (an older build), with the same generator.
# Usage: bench/classify-vs-bogofilter.sh [build-folder] [messages] [rules]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
count=${2:-2000}
rules=${3:-1000}
"$top/scripts/deps" bogofilter >/dev/null
cmake --build "$build" -j 2 --target vorla vorla_bench_classify >/dev/null
program=${VORLA_BIN:-$build/vorla}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/mail" "$work/home" "$work/bogo"
"$build/bench/vorla_bench_classify" --write-mail "$work/mail" "$count" "$rules"
files=("$work/mail"/*.msg)

vorla() { "$program" --home "$work/home/" "$@"; }
vorla account add Work email=me@example.net >/dev/null
vorla rules --import "$work/mail/rules.txt" >/dev/null

now() { date +%s.%N; }
# bogofilter's exit status is its verdict (0 spam, 1 ham, 2 unsure); only 3 is an error.
bogo() { bogofilter -C -d "$work/bogo" "$@" || [ $? -lt 3 ]; }
rate() { awk -v n="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%.0f", n / (b - a) }'; }

# bogofilter learns the first 200 files as spam and the next 200 as ham.
bogo -s -B "${files[@]:0:200}"
bogo -n -B "${files[@]:200:200}"

# Each program once to warm the page cache, then timed.
vorla classify Work "${files[@]}" >/dev/null
t0=$(now)
vorla classify Work "${files[@]}" >"$work/vorla.out"
t1=$(now)
bogo -t -B "${files[@]}" >/dev/null
t2=$(now)
bogo -t -B "${files[@]}" >"$work/bogo.out"
t3=$(now)

[ "$(wc -l <"$work/vorla.out")" -eq "$count" ] || { echo "vorla classified $(wc -l <"$work/vorla.out") of $count" >&2; exit 1; }
[ "$(wc -l <"$work/bogo.out")" -eq "$count" ] || { echo "bogofilter classified $(wc -l <"$work/bogo.out") of $count" >&2; exit 1; }
decided=$(awk -F'\t' '$2 != 0' "$work/vorla.out" | wc -l)
b=$(rate "$count" "$t2" "$t3")
v=$(rate "$count" "$t0" "$t1")
echo "messages: $count, active rules: $rules, decided by a rule or check: $decided"
echo "vorla classify: $v msg/s"
echo "bogofilter -B:  $b msg/s"
awk -v v="$v" -v b="$b" 'BEGIN { printf "ratio vorla/bogofilter: %.2f\n", v / b }'

[ "${RUN_FILTERS:-1}" != 0 ] || exit 0
stored=10000
mkdir -p "$work/stored"
"$build/bench/vorla_bench_classify" --write-mail "$work/stored" "$stored" 0
account=$(find "$work/home/accounts" -mindepth 1 -maxdepth 1 -type d | head -n 1)
folder=quarantine
[ "${RUN_FILTERS:-1}" = moves ] && folder=vorla
mkdir -p "$account/$folder"
mv "$work/stored"/*.msg "$account/$folder/"
t4=$(now)
vorla filter >/dev/null
t5=$(now)
moved=$(find "$account/vorla" "$account/quarantine" "$account/trash" -name '*.msg' -newermt "@$t4" 2>/dev/null | wc -l)
awk -v n="$stored" -v a="$t4" -v b="$t5" -v m="$moved" -v f="$folder" \
  'BEGIN { printf "vorla filter over %d messages in the %s folder: %.1f s (%.0f msg/s), %d messages moved\n", n, f, b - a, n / (b - a), m }'
