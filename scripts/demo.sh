#!/usr/bin/env bash
# A demonstration that proves every kind of wipe on a disk image of its own:
#   a FAT32 volume (through fusefat) and an ext4 volume on one loop disk, files full of unique
#   markers, some deleted and some thrown into the trash; then purgix-cli wipes files and the
#   trash, the free space, one partition and the whole disk, and after each step the raw image
#   is searched for every marker that had to vanish, and the files that had to stay are compared.
#
# It touches nothing but what it creates: the image, its loop device and the mounts live in its
# own temporary folder, and the program runs with HOME, the XDG folders, TMPDIR and the registry
# pointed there. Run it as root (make demo). Exit status 0 when every verdict holds.
#
#   scripts/demo.sh [--cli PATH]     PATH of purgix-cli (default: build/default/purgix-cli)
set -euo pipefail

CLI="$(cd "$(dirname "$0")/.." && pwd)/build/default/purgix-cli"
while [ $# -gt 0 ]; do
    case "$1" in
    --cli) CLI="$2"; shift 2 ;;
    *) echo "usage: $0 [--cli PATH]" >&2; exit 64 ;;
    esac
done

if [ "$(id -u)" -ne 0 ]; then
    echo "The demo needs root: it attaches a loop device and mounts its volumes." >&2
    echo "Run it with: sudo make demo" >&2
    exit 77
fi
for tool in losetup partx sfdisk mkfs.fat fusefat mkfs.ext4 trash-put fsck.fat grep sha256sum; do
    command -v "$tool" >/dev/null || { echo "missing tool: $tool (make deps installs it)" >&2; exit 1; }
done
[ -x "$CLI" ] || { echo "no purgix-cli at $CLI (make build makes it)" >&2; exit 1; }

WORK="$(mktemp -d "${TMPDIR:-/tmp}/purgix-demo.XXXXXX")"
LOGS="$(mktemp -d "${TMPDIR:-/tmp}/purgix-demo-logs.XXXXXX")"
IMG="$WORK/disk.img"
LOOP=""
FAILED=0

# What the program may touch: only folders inside the demo's own.
export HOME="$WORK/home/" XDG_CONFIG_HOME="$WORK/config" XDG_DATA_HOME="$WORK/home/.local/share"
export XDG_STATE_HOME="$WORK/state" TMPDIR="$WORK/tmp" PURGIX_REGISTRY_DIR="$WORK/registry"
unset SUDO_USER PKEXEC_UID
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_STATE_HOME" "$TMPDIR"

holders_of() { # processes other than this shell that hold the device or its partitions open
    local dev
    for dev in "$LOOP" "${LOOP}p1" "${LOOP}p2"; do
        [ -e "$dev" ] || continue
        find /proc/[0-9]*/fd -lname "$dev" 2>/dev/null | cut -d/ -f3
    done | sort -u
}

wait_idle() { # FUSE daemons let go of a device a moment after unmounting
    local i
    for i in $(seq 1 100); do
        [ -z "$(holders_of)" ] && return 0
        sleep 0.1
    done
    echo "the loop device is still held open" >&2
    return 1
}

unmount_all() {
    local m i
    for m in "$WORK/fat" "$WORK/ext4"; do
        for i in $(seq 1 50); do
            mountpoint -q "$m" 2>/dev/null || break
            umount "$m" 2>/dev/null || sleep 0.1
        done
    done
    [ -z "$LOOP" ] && return 0
    wait_idle || true
    # Whatever the drivers wrote through the device cache reaches the image.
    blockdev --flushbufs "$LOOP" 2>/dev/null || true
}

cleanup() {
    set +e
    unmount_all
    if mountpoint -q "$WORK/fat" 2>/dev/null || mountpoint -q "$WORK/ext4" 2>/dev/null; then
        echo "a demo volume is still mounted; $WORK is left as it is" >&2
        return
    fi
    if [ -n "$LOOP" ]; then
        partx -d "$LOOP" 2>/dev/null
        losetup -d "$LOOP"
    fi
    rm -rf --one-file-system "$WORK"
}
trap cleanup EXIT
trap 'echo; echo "interrupted"; exit 130' INT TERM

mount_all() {
    mkdir -p "$WORK/fat" "$WORK/ext4"
    fsck.fat -a "${LOOP}p1" >/dev/null 2>&1 || true
    fusefat -o "rw+,fsname=${LOOP}p1" "${LOOP}p1" "$WORK/fat" >/dev/null 2>&1
    mount -t ext4 "${LOOP}p2" "$WORK/ext4"
}

records() { # records TAG BYTES: numbered records "TAG-000001|" ...
    local i=0
    # The endless writer ends when head has enough (SIGPIPE): that is no failure here.
    { while :; do printf '%s-%06d|' "$1" "$i"; i=$((i + 1)); done 2>/dev/null | head -c "$2"; } ||
        true
}

marker_file() { # marker_file PATH TAG BYTES: half ASCII records, half UTF-16LE records
    local path="$1" tag="$2" half=$(($3 / 2))
    { records "$tag" "$half"; records "$tag" $((half / 2)) | sed 's/./&\x00/g'; } >"$path"
}

utf16() { printf '%s' "$1" | sed 's/./&\\x00/g'; }

found() { # found TAG: the image holds the marker as ASCII or UTF-16LE
    LC_ALL=C grep -a -q -F "$1-" "$IMG" && return 0
    LC_ALL=C grep -a -q -P "$(utf16 "$1-")" "$IMG"
}

verdict() { # verdict STEP "TAGS THAT MUST BE GONE" "TAGS THAT MUST STAY"
    local step="$1" tag ok=1
    echo "== after $step"
    for tag in $2; do
        if found "$tag"; then echo "   FAIL  $tag is still on the disk"; ok=0
        else echo "   ok    $tag vanished"; fi
    done
    for tag in $3; do
        if found "$tag"; then echo "   ok    $tag (not chosen) is still there"
        else echo "   FAIL  $tag was not chosen but is gone"; ok=0; fi
    done
    [ "$ok" -eq 1 ] || FAILED=1
}

same_files() { # same_files LISTFILE: the kept files are byte-identical
    if (cd "$WORK" && sha256sum --quiet -c "$1"); then echo "   ok    kept files are byte-identical"
    else echo "   FAIL  a kept file changed"; FAILED=1; fi
}

cli() { "$CLI" --log-dir "$LOGS" "$@"; }

echo "Demo folder: $WORK"
truncate -s 160M "$IMG"
printf 'label: dos\n2048,98304,c\n100352,,83\n' | sfdisk -q "$IMG"
LOOP="$(losetup -f --show "$IMG")"
blockdev --flushbufs "$LOOP"
partx -a "$LOOP" 2>/dev/null || partx -u "$LOOP"
mkfs.fat -F 32 -s 1 "${LOOP}p1" >/dev/null
mkfs.ext4 -q -F -m 0 "${LOOP}p2"
mount_all

F="$WORK/fat" E="$WORK/ext4"
for v in F E; do
    root="${!v}"
    mkdir -p "$root/docs/old" "$root/keep"
    marker_file "$root/docs/report.txt" "TARGET${v}A" 200000
    marker_file "$root/docs/old/notes.txt" "TARGET${v}B" 30000
    marker_file "$root/keep/live.txt" "KEEP${v}" 100000
    marker_file "$root/deleted.bin" "DELETED${v}" 300000
    marker_file "$root/trashed.txt" "TRASH${v}" 50000
done
sync
(cd "$WORK" && sha256sum fat/keep/live.txt ext4/keep/live.txt >"$WORK/kept.sha256")
rm "$F/deleted.bin" "$E/deleted.bin"
trash-put "$F/trashed.txt" "$E/trashed.txt"
sync

echo "== files: the docs folders, and the trash of both volumes"
cli files --method dod --yes "$F/docs" "$E/docs" "--trash=$F" "--trash=$E"
same_files kept.sha256
unmount_all
verdict "files" "TARGETFA TARGETFB TARGETEA TARGETEB TRASHF TRASHE" "KEEPF KEEPE"
mount_all

echo "== freespace of both volumes"
cli freespace --method dod --yes "$F" "$E"
same_files kept.sha256
unmount_all
verdict "freespace" "DELETEDF DELETEDE" "KEEPF KEEPE"

echo "== partition: the FAT32 partition"
cli partition --method dod --confirm DELETE "${LOOP}p1"
unmount_all
verdict "partition" "KEEPF" "KEEPE"

echo "== disk: the whole image"
cli disk --method dod --confirm DELETE --no-partition-table "$LOOP"
verdict "disk" "KEEPE" ""

echo "== logs"
for log in "$LOGS"/*.htm; do
    if cli check-log "$log" >/dev/null; then echo "   ok    valid  $(basename "$log")"
    else echo "   FAIL  invalid $(basename "$log")"; FAILED=1; fi
done

echo "The wipe logs are in $LOGS"
if [ "$FAILED" -eq 0 ]; then echo "Every verdict holds."; else echo "Some verdicts failed."; fi
exit "$FAILED"
