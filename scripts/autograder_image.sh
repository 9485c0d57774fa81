#!/usr/bin/env bash
# A stand-in for a course platform's autograder image: a fresh minimal
# Debian 12 (bookworm) root made with debootstrap, for the test of the
# autograder bundle (tests/test_compare_autograder.py, the `autograder`
# lane). Never the project's Debian root: a folder of its own.
#
#   bash scripts/autograder_image.sh fresh WORK    WORK: a new copy of the bare
#                                                  root (made once, then kept)
#   bash scripts/autograder_image.sh run WORK CMD [ARG...]
#                                                  CMD as root inside WORK
#
# Environment: MOVRA_AUTOGRADER_IMAGE, the folder that keeps the bare root
# and the packages apt-get downloaded into copies of it (default
# /var/lib/movra/autograder-image-test); MOVRA_DEBIAN_MIRROR (default
# http://deb.debian.org/debian). Making the bare root took 81 s here; each
# copy takes a few seconds, and a copy's apt-get finds the packages that an
# earlier copy downloaded (the folder's apt-archives/), so only the first
# set-up downloads them.
#
# CMD runs in a mount namespace of its own that ends with it: WORK is a
# mount point of its own (bubblewrap, the compare tool's sandbox, needs its
# root to be one), with /proc, /dev and the kept packages mounted, and the
# machine's resolver and certificates copied in.
set -euo pipefail

IMAGE=${MOVRA_AUTOGRADER_IMAGE:-/var/lib/movra/autograder-image-test}
MIRROR=${MOVRA_DEBIAN_MIRROR:-http://deb.debian.org/debian}
SUITE=bookworm
BASE=$IMAGE/base

note() { echo "autograder-image: $*" >&2; }
die() { echo "autograder-image: ERROR: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || die "the image needs root (debootstrap, chroot and mounts)"
case "$IMAGE" in
    /var/lib/movra/debian-sid|/var/lib/movra/debian-sid/*)
        die "MOVRA_AUTOGRADER_IMAGE must not be the project's Debian root" ;;
esac

make_base() {
    command -v debootstrap >/dev/null 2>&1 || {
        note "installing debootstrap"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null ||
            die "apt-get install debootstrap failed"
    }
    local partial=$BASE.partial started=$SECONDS
    rm -rf "$partial"
    mkdir -p "$IMAGE"
    note "making a bare Debian $SUITE root in $BASE (about a minute and a half)"
    if ! debootstrap --variant=minbase "$SUITE" "$partial" "$MIRROR" >"$IMAGE/debootstrap.log" 2>&1; then
        tail -n 20 "$IMAGE/debootstrap.log" >&2
        die "debootstrap failed (the whole log: $IMAGE/debootstrap.log)"
    fi
    mv "$partial" "$BASE"
    note "made in $((SECONDS - started)) s"
}

fresh() {
    local work=$1
    [ -d "$BASE" ] || make_base
    rm -rf "$work"
    mkdir -p "$(dirname "$work")"
    cp -a "$BASE" "$work"
    mkdir -p "$IMAGE/apt-archives/partial"
}

run_in() {
    local work=$1
    shift
    [ -d "$work/usr" ] || die "no root in $work (make it with: fresh $work)"
    unshare --mount --propagation private -- bash -c '
        set -e
        work=$1 archives=$2
        shift 2
        mount --bind "$work" "$work"
        mount -t proc proc "$work/proc"
        mount --rbind /dev "$work/dev"
        mkdir -p "$work/var/cache/apt/archives"
        mount --bind "$archives" "$work/var/cache/apt/archives"
        cp -L /etc/resolv.conf "$work/etc/resolv.conf" 2>/dev/null || true
        if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
            mkdir -p "$work/etc/ssl/certs"
            cp -L /etc/ssl/certs/ca-certificates.crt "$work/etc/ssl/certs/ca-certificates.crt"
        fi
        exec chroot "$work" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
    ' in-image "$work" "$IMAGE/apt-archives" "$@"
}

command=${1:-}
shift || true
case "$command" in
    fresh) [ $# -eq 1 ] || die "fresh: say where"; fresh "$1" ;;
    run) [ $# -ge 2 ] || die "run: say where and what"; run_in "$@" ;;
    *) die "usage: bash scripts/autograder_image.sh fresh WORK | run WORK CMD [ARG...]" ;;
esac
