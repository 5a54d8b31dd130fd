#!/usr/bin/env bash
# Times the converter against the floor of moving the same bytes unchanged.
#
#   bench/run.sh [CONVERTER] [MIB] [PAIRS] [BASELINE]
#
# Makes one version 1 file of MIB mebibytes (default 256), then PAIRS times
# (default 7), pair by pair in the same run: converts a fresh copy with
# CONVERTER (default build/statconv), and copies a fresh copy with
# `dd bs=1M conv=fsync`; with BASELINE (another build of the converter, say
# the last release), converts a fresh copy with it too, in the same pair. Both read the same cached bytes and put their output
# on storage. Prints each pair, the medians and the fastest times with
# their ratios (on a machine whose storage or memory is shared, the fastest
# times are the steadier figure), and the converter's peak resident size. Needs bash, python3, dd, awk and GNU time
# (Debian package time).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
converter=$(realpath "${1:-build/statconv}")
mib=${2:-256}
pairs=${3:-7}
work=$(mktemp -d "${BENCH_DIR:-$(dirname "$converter")}/bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 "$here/../tests/samples.py" big "$work/input" "$mib"
echo "input: $(stat -c %s "$work/input") bytes, $pairs pairs"

seconds() { # runs a command, prints its wall time in seconds
    local start=$EPOCHREALTIME
    "$@" >/dev/null 2>&1 || [ $? -eq 1 ] # the converter's success is status 1
    awk -v end="$EPOCHREALTIME" -v start="$start" 'BEGIN { print end - start }'
}

# Each timed command starts from the same state: a fresh, synced copy of the
# input, which the converter converts and dd copies.
fresh_copy() { rm -f "$work"/stats* "$work/copy" && cp "$work/input" "$work/stats" && sync; }

baseline=${4:+$(realpath "$4")}
convert() { # times one conversion of a fresh copy with the converter $1
    fresh_copy
    (cd "$work" && seconds "$1" stats)
    [ "$(stat -c %s "$work/stats")" -gt "$(stat -c %s "$work/stats.old")" ] || {
        echo "$1 did not convert" >&2
        exit 1
    }
}

converter_times=() dd_times=() baseline_times=()
for i in $(seq "$pairs"); do
    converter_times+=("$(convert "$converter")")
    fresh_copy
    dd_times+=("$(seconds dd if="$work/stats" of="$work/copy" bs=1M conv=fsync)")
    printf 'pair %d: converter %.3f s, dd %.3f s' "$i" "${converter_times[-1]}" "${dd_times[-1]}"
    if [ -n "$baseline" ]; then
        baseline_times+=("$(convert "$baseline")")
        printf ', baseline %.3f s' "${baseline_times[-1]}"
    fi
    echo
done

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
fastest() { printf '%s\n' "$@" | sort -g | head -n 1; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { print a / b }'; }
c_median=$(median "${converter_times[@]}") d_median=$(median "${dd_times[@]}")
c_fastest=$(fastest "${converter_times[@]}") d_fastest=$(fastest "${dd_times[@]}")
printf 'median:  converter %.3f s, dd %.3f s, ratio %.3f\n' \
    "$c_median" "$d_median" "$(ratio "$c_median" "$d_median")"
printf 'fastest: converter %.3f s, dd %.3f s, ratio %.3f\n' \
    "$c_fastest" "$d_fastest" "$(ratio "$c_fastest" "$d_fastest")"
if [ -n "$baseline" ]; then
    b_median=$(median "${baseline_times[@]}") b_fastest=$(fastest "${baseline_times[@]}")
    printf 'baseline median %.3f s, ratio %.3f; fastest %.3f s, ratio %.3f\n' "$b_median" \
        "$(ratio "$b_median" "$d_median")" "$b_fastest" "$(ratio "$b_fastest" "$d_fastest")"
fi

fresh_copy
peak=$(cd "$work" && { /usr/bin/time -f '%M' "$converter" stats >/dev/null 2>"$work/time" || true; } &&
    tail -n 1 "$work/time")
echo "converter peak resident size: $peak KiB"
