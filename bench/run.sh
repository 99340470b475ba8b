#!/usr/bin/env bash
# Times the whole manual backup (the run from its first check to its catalogue row, the
# flush to the disk included) beside `cp -a` and `cp -a; sync -f` of the same tree, and the
# pruning of that copy beside `rm -rf`:
#   small  20,000 files of 1-8 KiB in 200 folders, on a quiet disk;
#   busy   the same, with another writer's 256 MiB written just before each command and kept
#          until it ends (the backup's flush of the file system waits for it too);
#   big    one 1 GiB file;
#   mixed  large, middle-sized and small files, links of both kinds, a sparse file;
#   progress    the small tree and the big file with the run's progress on and off;
#   manifest    the small tree and the big file with the checksum manifest beside the copy
#          written and not, over MANIFEST_PAIRS interleaved pairs;
#   verify      `tessivar --verify=COPY` beside `sha256sum -c` of the same copy's manifest,
#          each with cold caches (needs root to drop them; skipped with a word otherwise);
#   btrfs, xfs  the small tree and the big file on a btrfs and on an XFS image, source and
#          copy on the same file system, beside the small tree on an ext4 image of that size.
# Commands are interleaved (ours, theirs, ours, theirs ...) because the machine is shared
# and noisy; every command starts after a sync, at raised priority (BENCH_NICE), and a first
# pair of each case is not counted. The table gives the medians of the per-pair ratios.
# About 14 minutes, and about 4 more for the manifest and verify cases; needs root for the
# images.
#
# Environment: BUILD_DIR (default build), PAIRS (3), SMALL_FOLDERS (200), SMALL_FILES (100
# per folder), BIG_MIB (1024), BUSY_MIB (256), IMAGE_MIB (4096), BENCH_TMP (/tmp),
# PROGRESS_PAIRS (15), MANIFEST_PAIRS (9), VERIFY_PAIRS (5), BENCH_CASES (all of: copy progress
# manifest verify fs; the cases to run), BENCH_LOOP (1: measure on an ext4 image of its own, whose journal no other writer on the
# machine shares; 0: in BENCH_TMP itself), BENCH_NICE (-10), BENCH_PROGRAM (0; 1 adds the
# whole-program figures on a virtual desktop, about 3 more minutes).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build="${BUILD_DIR:-$here/build}"
bench="$build/bench/tessivar_copybench"
pairs=${PAIRS:-3}
nice_level=${BENCH_NICE:--10}
[ -x "$bench" ] || { echo "missing $bench: build first (make build)" >&2; exit 1; }

work=$(mktemp -d "${BENCH_TMP:-/tmp}/tessivar-bench.XXXXXX")
mounts=()
cleanup() {
    for mounted in "${mounts[@]}"; do
        umount "$mounted" 2>/dev/null || umount -l "$mounted" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# Mounts a new file system of the given type on a preallocated image; false when refused.
mount_image() {
    local type=$1 image=$2 point=$3
    mkdir -p "$point"
    fallocate -l "$(( ${IMAGE_MIB:-4096} ))M" "$image" || return 1
    case $type in
        # The inode tables and journal written now, not by the kernel while measured.
        ext4) mkfs.ext4 -q -F -E lazy_itable_init=0,lazy_journal_init=0 "$image" ;;
        btrfs) mkfs.btrfs -q -f "$image" >/dev/null ;;
        xfs) mkfs.xfs -q -f "$image" ;;
    esac 2>/dev/null || return 1
    mount -o loop "$image" "$point" 2>/dev/null || return 1
    mounts=("$point" "${mounts[@]}")
}

fs="$work/fs"
if [ "${BENCH_LOOP:-1}" = 1 ] && mount_image ext4 "$work/ext4.img" "$fs"; then
    where="an ext4 image of ${IMAGE_MIB:-4096} MiB (mount -o loop) in ${BENCH_TMP:-/tmp}"
else
    mkdir -p "$fs"
    where="$(findmnt -n -o FSTYPE -T "$fs") at ${BENCH_TMP:-/tmp}"
fi

want() { [[ " ${BENCH_CASES:-copy progress manifest verify fs} " == *" $1 "* ]]; }
median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
med() { printf '%s\n' "$@" | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f\n", (b > 0) ? a / b : 0}'; }

# "wall-seconds peak-KiB own-seconds" of one command, after a sync. own-seconds is what the
# command printed (the backup or pruning alone, as the program pays it) or else the wall
# time. With busy set, another writer's data is left pending on the command's file system.
busy=""
measure() {
    sync
    [ -z "$busy" ] || "$bench" noise "$busy/noise" "${BUSY_MIB:-256}"
    # As /usr/bin/time -f "%e %M" does, with the wall time to 0.1 ms rather than 0.01 s. Until
    # it starts the command, the child shares this interpreter's memory: a command that needs
    # less than about 8 MiB shows that much, so the figure is kept for the backup alone.
    /usr/bin/python3 -c 'import os, sys, time
start = time.perf_counter()
child = os.posix_spawnp(sys.argv[2], sys.argv[2:], os.environ)
_, status, usage = os.wait4(child, 0)
wall = time.perf_counter() - start
open(sys.argv[1], "w").write("%.4f %d\n" % (wall, usage.ru_maxrss))
sys.exit(os.waitstatus_to_exitcode(status))' "$work/time" nice -n "$nice_level" "$@" >"$work/out"
    [ -z "$busy" ] || rm -f "$busy/noise"
    local wall peak own
    read -r wall peak <"$work/time"
    own=$(head -n1 "$work/out")
    echo "$wall $peak ${own:-$wall}"
}

# One backup of $1 into the folder $2 from the task folder $3; sets ours, peak, copy.
backup() {
    local wall
    read -r wall peak ours < <(cd "$3" && measure "$bench" backup "$1" "$2")
    copy="$2/$(basename "$1")_010101"
}

rows=()
row() { rows+=("$(printf '%-34s %8s %8s %6s   %s' "$@")"); }
peak_small=0

# copy_case NAME TREE [busy]: backup / cp -a / cp -a; sync -f, then prune / rm -rf.
copy_case() {
    local name=$1 tree=$2 source="$fs/src/$2"
    local r_cp=() r_sync=() r_rm=() t_ours=() t_cp=() t_sync=() t_prune=() t_rm=()
    # Pair 0 warms up (the first writes to the image's blocks cost the most) and is not counted.
    for pair in $(seq 0 "$pairs"); do
        # One copy at a time, so that the image need hold only the source and one copy.
        busy=${3:+$fs}
        backup "$source" "$fs/ours" "$fs/task"
        busy=""
        read -r _ _ prune < <(cd "$fs/task" && measure "$bench" prune "$copy")
        busy=${3:+$fs}
        read -r cp _ _ < <(measure cp -a "$source" "$fs/cp")
        busy=""
        read -r rm _ _ < <(measure rm -rf "$fs/cp")
        busy=${3:+$fs}
        read -r cps _ _ < <(measure sh -c 'cp -a "$1" "$2" && sync -f "$2"' - "$source" "$fs/cps")
        busy=""
        rm -rf "$fs/cps"
        echo "  $name $pair: backup ${ours}s, cp -a ${cp}s, cp -a; sync -f ${cps}s;" \
            "prune ${prune}s, rm -rf ${rm}s; peak ${peak} KiB" >&2
        [ "$pair" -gt 0 ] || continue
        r_cp+=("$(ratio "$ours" "$cp")") r_sync+=("$(ratio "$ours" "$cps")")
        r_rm+=("$(ratio "$prune" "$rm")")
        t_ours+=("$ours") t_cp+=("$cp") t_sync+=("$cps") t_prune+=("$prune") t_rm+=("$rm")
        if [ "$tree" = small ] && (( peak > peak_small )); then peak_small=$peak; fi
    done
    row "$name: backup / cp -a" "$(med "${t_ours[@]}")" "$(med "${t_cp[@]}")" \
        "$(med "${r_cp[@]}")" "${goal_cp:-}"
    row "$name: backup / (cp -a; sync -f)" "$(med "${t_ours[@]}")" "$(med "${t_sync[@]}")" \
        "$(med "${r_sync[@]}")" "${goal_sync:-}"
    [ -n "${3:-}" ] || row "$name: pruning / rm -rf" "$(med "${t_prune[@]}")" \
        "$(med "${t_rm[@]}")" "$(med "${r_rm[@]}")" "<= 1.00"
}

echo "making the trees on $where ..." >&2
mkdir -p "$fs/src" "$fs/task"
head -c $(( ${BIG_MIB:-1024} * 1024 * 1024 )) /dev/urandom >"$fs/src/big"
"$bench" small-tree "$fs/src/small" "${SMALL_FOLDERS:-200}" "${SMALL_FILES:-100}"
"$bench" mixed-tree "$fs/src/mixed"

if want copy; then
    goal_cp="<= 0.60" goal_sync="" copy_case small small
    goal_cp="<= 0.75" goal_sync="" copy_case busy small busy
    goal_cp="" goal_sync="<= 0.60" copy_case big big
    goal_cp="" goal_sync="<= 1.00" copy_case mixed mixed
fi

# The backup as the program runs it against one with a part switched off, over interleaved
# pairs: on_off_case WHAT NAME TREE OFF-MODE PAIRS GOAL.
notes=()
on_off_case() {
    local what=$1 name=$2 source="$fs/src/$3" off_mode=$4 pairs_=$5 goal=$6
    local r=() t_on=() t_off=() on off manifests=0
    for pair in $(seq 0 "$pairs_"); do
        read -r _ _ on < <(cd "$fs/task" && measure "$bench" backup "$source" "$fs/ours")
        [ ! -f "$fs/ours/$3_010101.sha256" ] || manifests=1
        rm -rf "$fs/ours"
        read -r _ _ off < <(cd "$fs/task" && measure "$bench" "$off_mode" "$source" "$fs/ours")
        rm -rf "$fs/ours"
        echo "  $what $name $pair: on ${on}s, off ${off}s" >&2
        [ "$pair" -gt 0 ] || continue
        r+=("$(ratio "$on" "$off")") t_on+=("$on") t_off+=("$off")
    done
    row "$name: $what on / off" "$(med "${t_on[@]}")" "$(med "${t_off[@]}")" \
        "$(med "${r[@]}")" "$goal"
    [ "$what" != manifest ] || [ "$manifests" = 1 ] ||
        notes+=("manifest $name: this build wrote no manifest; both sides ran the same")
}

# The progress (the walk of the source before its copy, which the room check uses too, and
# the counting while it copies) on and off.
if want progress; then
    on_off_case progress small small backup-unwatched "${PROGRESS_PAIRS:-15}" "<= 1.02"
    on_off_case progress big big backup-unwatched "${PROGRESS_PAIRS:-15}" "<= 1.02"
fi

# The checksum manifest beside the copy (the hashing of what is copied, and its file)
# written and not.
if want manifest; then
    on_off_case manifest small small backup-no-manifest "${MANIFEST_PAIRS:-9}" "<= 1.15"
    on_off_case manifest big big backup-no-manifest "${MANIFEST_PAIRS:-9}" "<= 1.30"
fi

# --verify of one copy beside sha256sum -c of its manifest, each after the caches are dropped,
# so that both read the disk. The copy is the program's own; where this build wrote no
# manifest, sha256sum writes it.
drop_caches() { sync && echo 3 2>/dev/null >/proc/sys/vm/drop_caches; }
verify_case() {
    local name=$1 source="$fs/src/$2" r=() t_ours=() t_theirs=() ours theirs
    local copy="$fs/verify/$2_010101"
    (cd "$fs/task" && "$bench" backup "$source" "$fs/verify" >/dev/null)
    if [ ! -f "$copy.sha256" ]; then
        (cd "$fs/verify" && find "$2_010101" -type f -print0 | LC_ALL=C sort -z |
            xargs -0 sha256sum >"$2_010101.sha256")
        notes+=("verify $name: this build wrote no manifest; sha256sum wrote it")
    fi
    "$build/tessivar" --task "$fs/task" --verify="$copy" 2>/dev/null ||
        { echo "--verify of $copy failed" >&2; exit 1; }
    for pair in $(seq 0 "${VERIFY_PAIRS:-5}"); do
        drop_caches
        read -r ours _ _ < <(measure sh -c '"$1" --task "$2" --verify="$3" 2>/dev/null' - \
            "$build/tessivar" "$fs/task" "$copy")
        drop_caches
        read -r theirs _ _ < <(measure sh -c 'cd "$1" && sha256sum -c --quiet "$2"' - \
            "$fs/verify" "$2_010101.sha256")
        echo "  verify $name $pair: --verify ${ours}s, sha256sum -c ${theirs}s" >&2
        [ "$pair" -gt 0 ] || continue
        r+=("$(ratio "$ours" "$theirs")") t_ours+=("$ours") t_theirs+=("$theirs")
    done
    rm -rf "$fs/verify"
    row "$name: --verify / sha256sum -c (cold)" "$(med "${t_ours[@]}")" \
        "$(med "${t_theirs[@]}")" "$(med "${r[@]}")" "<= 0.50"
}
if want verify; then
    if [ "$(id -u)" = 0 ] && drop_caches; then
        verify_case small small
        verify_case big big
    else
        notes+=("verify: skipped, the caches could not be dropped (needs root)")
    fi
fi

# btrfs and XFS: the small tree beside the same on an ext4 image of the same size, and the
# big file, whose copy should share the source's extents.
if want fs && mount_image ext4 "$work/ext4-same.img" "$work/ext4"; then
    mkdir -p "$work/ext4/src" "$work/ext4/task"
    cp -a "$fs/src/small" "$work/ext4/src/small"
fi
for kind in btrfs xfs; do
    want fs || break
    if ! findmnt "$work/ext4" >/dev/null || ! mount_image "$kind" "$work/$kind.img" "$work/$kind"; then
        notes+=("$kind: skipped, the machine refused to make or mount a $kind image")
        continue
    fi
    top="$work/$kind"
    mkdir -p "$top/src" "$top/task"
    cp -a "$fs/src/small" "$top/src/small"
    cp "$fs/src/big" "$top/src/big"
    r_fs=() t_other=() t_ext4=() r_cpfs=() t_cpo=() t_cpe=()
    for pair in $(seq 0 "$pairs"); do
        backup "$top/src/small" "$top/ours" "$top/task"
        on_other=$ours
        rm -rf "$copy"
        backup "$work/ext4/src/small" "$work/ext4/ours" "$work/ext4/task"
        rm -rf "$copy"
        read -r cp_other _ _ < <(measure cp -a "$top/src/small" "$top/cp")
        read -r cp_ext4 _ _ < <(measure cp -a "$work/ext4/src/small" "$work/ext4/cp")
        rm -rf "$top/cp" "$work/ext4/cp"
        echo "  $kind $pair: small on $kind ${on_other}s, on ext4 ${ours}s;" \
            "cp -a on $kind ${cp_other}s, on ext4 ${cp_ext4}s" >&2
        [ "$pair" -gt 0 ] || continue
        r_fs+=("$(ratio "$on_other" "$ours")") t_other+=("$on_other") t_ext4+=("$ours")
        r_cpfs+=("$(ratio "$cp_other" "$cp_ext4")") t_cpo+=("$cp_other") t_cpe+=("$cp_ext4")
    done
    row "$kind small / ext4 small (backup)" "$(med "${t_other[@]}")" "$(med "${t_ext4[@]}")" \
        "$(med "${r_fs[@]}")" "<= 1.00"
    row "$kind small / ext4 small (cp -a)" "$(med "${t_cpo[@]}")" "$(med "${t_cpe[@]}")" \
        "$(med "${r_cpfs[@]}")" ""
    # btrfs tells what a file holds of its own; elsewhere the image's use tells it.
    used() { sync && df -B1 --output=used "$top" | tail -n1; }
    [ "$kind" = btrfs ] || before=$(used)
    backup "$top/src/big" "$top/ours" "$top/task"
    if [ "$kind" = btrfs ]; then
        own="$(btrfs filesystem du -s --raw "$copy" | awk 'NR == 2 {print $2}') bytes of its own (btrfs filesystem du)"
    else
        own="the image's use changed by $(( ($(used) - before) / 1024 )) KiB (df)"
    fi
    notes+=("$kind: backup of the ${BIG_MIB:-1024} MiB file ${ours}s, $own")
done

echo
echo "medians over $pairs interleaved pairs (progress ${PROGRESS_PAIRS:-15}, manifest" \
    "${MANIFEST_PAIRS:-9}, verify ${VERIFY_PAIRS:-5}) on $where; seconds are medians, ratios medians"
echo "of the per-pair ratios; the backup's seconds are the run from its first check to its"
echo "catalogue row (its flush included), without the start of the process"
printf '%-34s %8s %8s %6s   %s\n' "" ours theirs ratio goal
printf '%s\n' "${rows[@]}"
printf '%s\n' "${notes[@]}"
(( peak_small == 0 )) ||
    echo "peak memory of the backup process on the small tree: $(awk -v k="$peak_small" \
    'BEGIN {printf "%.1f", k / 1024}') MiB (goal < 20)"

if [ "${BENCH_PROGRAM:-0}" = 1 ]; then
    echo
    echo "whole program (about 3 minutes):"
    /usr/bin/python3 "$here/tests/e2e/bench_program.py" --binary "$build/tessivar"
fi
