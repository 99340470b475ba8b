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

# Elapsed seconds and peak resident kilobytes of one command, as "seconds kilobytes".
measure() {
    sync
    /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null
    cat "$work/time"
}

median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f\n", (b > 0) ? a / b : 0}'; }

echo "making the trees in $work ..." >&2
mkdir -p "$work/src"
head -c $(( ${BIG_MIB:-1024} * 1024 * 1024 )) /dev/urandom > "$work/src/big.bin"
"$bench" small-tree "$work/src/small" "${SMALL_FOLDERS:-500}" "${SMALL_FILES:-100}"
"$bench" mixed-tree "$work/src/mixed"

rows=()
for tree in big.bin small mixed; do
    copy_ratios=() remove_ratios=() ours_copy=() cp_copy=() ours_rm=() rm_rm=() peak=0
    for pair in $(seq "$pairs"); do
        read -r t_ours m_ours < <(measure "$bench" copy "$work/src/$tree" "$work/ours")
        read -r t_cp _ < <(measure cp -a "$work/src/$tree" "$work/theirs")
        read -r r_ours _ < <(measure "$bench" remove "$work/ours")
        read -r r_rm _ < <(measure rm -rf "$work/theirs")
        echo "  $tree pair $pair: copy ${t_ours}s vs cp -a ${t_cp}s, remove ${r_ours}s vs rm -rf ${r_rm}s, peak ${m_ours} KiB" >&2
        copy_ratios+=("$(ratio "$t_ours" "$t_cp")")
        remove_ratios+=("$(ratio "$r_ours" "$r_rm")")
        ours_copy+=("$t_ours") cp_copy+=("$t_cp") ours_rm+=("$r_ours") rm_rm+=("$r_rm")
        (( m_ours > peak )) && peak=$m_ours
    done
    rows+=("$(printf '%-8s %8s %8s %7s   %8s %8s %7s   %6.1f' "$tree" \
        "$(printf '%s\n' "${ours_copy[@]}" | median)" "$(printf '%s\n' "${cp_copy[@]}" | median)" \
        "$(printf '%s\n' "${copy_ratios[@]}" | median)" \
        "$(printf '%s\n' "${ours_rm[@]}" | median)" "$(printf '%s\n' "${rm_rm[@]}" | median)" \
        "$(printf '%s\n' "${remove_ratios[@]}" | median)" "$(awk -v k="$peak" 'BEGIN {print k / 1024}')")")
done

echo
echo "medians over $pairs interleaved pairs (seconds; ratio = median of per-pair ratios)"
printf '%-8s %8s %8s %7s   %8s %8s %7s   %6s\n' tree copy "cp -a" ratio remove "rm -rf" ratio "MiB"
printf '%s\n' "${rows[@]}"
echo "goals: copy ratio <= 0.75 on small, <= 1.0 on the others; remove ratio <= 1.0; peak < 20 MiB on small"
