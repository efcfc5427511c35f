#!/usr/bin/env bash
# Runs imgbench beside peer programs on the same files, in one run, and prints
# one table.  imgbench times in-process (no Wine start-up); the peers are
# timed as whole processes, which is how they are used.
#   bench/run-peers.sh [--reps N] [--size N] [--modes "decode thumb"] FILE...
# Peers: decode   `convert FILE rgba:/dev/null`
#        thumb    `vipsthumbnail FILE -s SIZE`, `convert FILE -thumbnail SIZExSIZE`
# BUILD_DIR selects the build folder as for the other scripts.
source "$(dirname "$0")/../scripts/lib.sh"

reps=7
size=32
modes="decode thumb"
files=()
while [ $# -gt 0 ]; do
  case "$1" in
    --reps) reps=$2; shift ;;
    --size) size=$2; shift ;;
    --modes) modes=$2; shift ;;
    *) files+=("$(realpath "$1")") ;;
  esac
  shift
done
[ ${#files[@]} -gt 0 ] || { echo "usage: $0 [--reps N] [--size N] [--modes M] FILE..." >&2; exit 2; }

BENCH=$(program_path bench/imgbench)
[ -f "$BENCH" ] || { ensure_packages; build_project; }
prepare_prefix
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Median wall-clock milliseconds of `reps` runs of a command.
time_command() {
  local times=()
  for ((i = 0; i < reps; i++)); do
    local t0 t1
    t0=$(date +%s%N)
    "$@" >/dev/null 2>&1 || { echo "failed"; return; }
    t1=$(date +%s%N)
    times+=($(( (t1 - t0) / 1000 )))
  done
  printf '%s\n' "${times[@]}" | sort -n | awk '{ a[NR] = $1 } END {
    m = NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2; printf "%.3f", m / 1000 }'
}

# Prints: name  median-ms  MP/s for a file of `pixels` pixels.
row() {
  local file=$1 program=$2 ms=$3 pixels=$4
  local rate="-"
  [ "$ms" != failed ] && rate=$(awk -v p="$pixels" -v m="$ms" 'BEGIN { if (m > 0) printf "%.1f", p / 1e6 / (m / 1000) }')
  printf '%-24s %-44s %10s %9s\n' "$(basename "$file")" "$program" "$ms" "$rate"
}

printf '%-24s %-44s %10s %9s\n' file program "median ms" "MP/s"
for f in "${files[@]}"; do
  pixels=$(identify -format '%[fx:w*h]' "$f[0]" 2>/dev/null || echo 0)
  for mode in $modes; do
    line=$("$WINE" "$BENCH" "$mode" --reps "$reps" --size "$size" "$f" | tr -d '\r' | tail -n 1)
    row "$f" "imgbench $mode (in-process)" "$(awk '{ print $5 }' <<<"$line")" "$pixels"
    case "$mode" in
      decode)
        row "$f" "convert FILE rgba:/dev/null" "$(time_command convert "$f" rgba:/dev/null)" "$pixels" ;;
      thumb)
        row "$f" "vipsthumbnail FILE -s $size" \
          "$(time_command vipsthumbnail "$f" -s "$size" -o "$scratch/tn_%s.png")" "$pixels"
        row "$f" "convert FILE -thumbnail ${size}x$size" \
          "$(time_command convert "$f" -thumbnail "${size}x$size" "$scratch/im.png")" "$pixels" ;;
    esac
  done
done
