#!/usr/bin/env bash
# A small drive for the free-space tests: a tmpfs shown to the build's Wine prefix as a letter.
#   small_drive.sh start <mount point> <letter> <size>   mount it and link the letter to it
#   small_drive.sh stop <mount point> <letter>           remove that link and unmount that tmpfs
# Each acts only on what start itself makes: a tmpfs of our own source name at that mount point,
# and a letter that points at it.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/../../tools/wine/wine-env.sh"

action=${1:?start or stop} letter=${3:?drive letter}
# As the kernel lists it.
mnt=$(realpath -m "${2:?mount point}")
source_name=vexo-small-drive
link="$WINEPREFIX/dosdevices/${letter,,}:"

ours_mounted() {
    awk -v src="$source_name" -v dir="$mnt" '$1 == src && $2 == dir && $3 == "tmpfs" {found = 1} END {exit !found}' \
        /proc/self/mounts
}
ours_linked() {
    [ -L "$link" ] && [ "$(readlink "$link")" = "$mnt" ]
}

case "$action" in
start)
    size=${4:?size}
    # Left by an interrupted run: ours, so it is made afresh.
    ours_linked && rm -f "$link"
    ours_mounted && umount "$mnt"
    if [ -e "$link" ] || [ -L "$link" ]; then
        echo "small_drive: $link is in use by something else" >&2
        exit 1
    fi
    mkdir -p "$mnt"
    if mountpoint -q "$mnt"; then
        echo "small_drive: something else is mounted at $mnt" >&2
        exit 1
    fi
    mount -t tmpfs -o "size=$size,mode=0755" "$source_name" "$mnt"
    ln -s "$mnt" "$link"
    ;;
stop)
    ours_linked && rm -f "$link"
    if ours_mounted; then
        umount "$mnt"
        rmdir "$mnt"
    fi
    ;;
*)
    echo "usage: $0 start|stop <mount point> <letter> [size]" >&2
    exit 2
    ;;
esac
