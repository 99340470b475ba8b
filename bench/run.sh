#!/usr/bin/env bash
# Times the backup copier and remover against cp -a and rm -rf on the same trees:
# (a) one 1 GiB file, (b) 50,000 small files in 500 folders, (c) a mixed tree.
# Runs are interleaved (ours, theirs, ours, theirs ...) because the machine is shared and
# noisy; the table gives the medians of the per-pair ratios.
#
# Environment: BUILD_DIR (default build), PAIRS (default 3), SMALL_FOLDERS (500),
# SMALL_FILES (100 per folder), BIG_MIB (1024), BENCH_TMP (default /tmp).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
bench="${BUILD_DIR:-$here/build}/bench/tessivar_copybench"
pairs=${PAIRS:-3}
[ -x "$bench" ] || { echo "missing $bench: build first (make build)" >&2; exit 1; }

work=$(mktemp -d "${BENCH_TMP:-/tmp}/tessivar-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

# "wall-seconds peak-KiB own-seconds" of one command; own-seconds is what the command
# printed (the copier's time without its process start) or the wall time when it prints none.
measure() {
    sync
    /usr/bin/time -f "%e %M" -o "$work/time" "$@" >"$work/out"
    read -r wall peak <"$work/time"
    own=$(head -n1 "$work/out")
    echo "$wall $peak ${own:-$wall}"
}

median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f\n", (b > 0) ? a / b : 0}'; }

echo "making the trees in $work ..." >&2
mkdir -p "$work/src"
head -c $(( ${BIG_MIB:-1024} * 1024 * 1024 )) /dev/urandom > "$work/src/big.bin"
"$bench" small-tree "$work/src/small" "${SMALL_FOLDERS:-500}" "${SMALL_FILES:-100}"
"$bench" mixed-tree "$work/src/mixed"

med() { printf '%s\n' "$@" | median; }

rows=()
for tree in big.bin small mixed; do
    copy_wall=() copy_own=() remove_wall=() remove_own=() ours_copy=() cp_copy=() ours_rm=() rm_rm=()
    peak=0
    for pair in $(seq "$pairs"); do
        read -r t_ours m_ours o_ours < <(measure "$bench" copy "$work/src/$tree" "$work/ours")
        read -r t_cp _ _ < <(measure cp -a "$work/src/$tree" "$work/theirs")
        read -r r_ours _ q_ours < <(measure "$bench" remove "$work/ours")
        read -r r_rm _ _ < <(measure rm -rf "$work/theirs")
        echo "  $tree pair $pair: copy ${t_ours}s (own ${o_ours}s) vs cp -a ${t_cp}s," \
            "remove ${r_ours}s (own ${q_ours}s) vs rm -rf ${r_rm}s, peak ${m_ours} KiB" >&2
        copy_wall+=("$(ratio "$t_ours" "$t_cp")") copy_own+=("$(ratio "$o_ours" "$t_cp")")
        remove_wall+=("$(ratio "$r_ours" "$r_rm")") remove_own+=("$(ratio "$q_ours" "$r_rm")")
        ours_copy+=("$t_ours") cp_copy+=("$t_cp") ours_rm+=("$r_ours") rm_rm+=("$r_rm")
        (( m_ours > peak )) && peak=$m_ours
    done
    rows+=("$(printf '%-8s %7s %7s %6s %6s   %7s %7s %6s %6s   %5.1f' "$tree" \
        "$(med "${ours_copy[@]}")" "$(med "${cp_copy[@]}")" \
        "$(med "${copy_wall[@]}")" "$(med "${copy_own[@]}")" \
        "$(med "${ours_rm[@]}")" "$(med "${rm_rm[@]}")" \
        "$(med "${remove_wall[@]}")" "$(med "${remove_own[@]}")" \
        "$(awk -v k="$peak" 'BEGIN {print k / 1024}')")")
done

echo
echo "medians over $pairs interleaved pairs; seconds are wall times, ratios are medians of"
echo "the per-pair ratios: wall/wall, and own (the operation alone, as the program pays it)/wall"
printf '%-8s %7s %7s %6s %6s   %7s %7s %6s %6s   %5s\n' tree copy "cp -a" ratio own \
    remove "rm -rf" ratio own "MiB"
printf '%s\n' "${rows[@]}"
echo "goals: copy <= 0.75 x cp -a on small, <= 1.0 on the others; remove <= 1.0 x rm -rf;"
echo "peak memory of the copy < 20 MiB on small"

# The whole program on a virtual desktop: start-up, memory, idle ticking.
echo
echo "whole program (about 3 minutes):"
/usr/bin/python3 "$(dirname "$0")/../tests/e2e/bench_program.py" --binary "${BUILD_DIR:-$here/build}/tessivar"
