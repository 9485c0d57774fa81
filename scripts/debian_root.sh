#!/usr/bin/env bash
# The Debian root that runs Python 3.14 and 3.15 (and their debug builds,
# 3.14d and 3.15d), which pyenv does not have here: a minimal Debian
# unstable system made with debootstrap, holding the packages of
# requirements/debian-root.txt, kept outside the checkout so that a later run
# on the same machine (a fresh clone too) finds it.
#
#   bash scripts/debian_root.sh ensure          make the root if it is missing,
#                                               install what the list added
#   bash scripts/debian_root.sh run CMD [ARG...]
#                                               ensure, then run CMD inside the
#                                               root, in this checkout
#   bash scripts/debian_root.sh path            print where the root is
#
# Environment: MOVRA_DEBIAN_ROOT, the root's folder (default
# /var/lib/movra/debian-sid); MOVRA_DEBIAN_MIRROR (default
# http://deb.debian.org/debian); MOVRA_ROOT_NETWORK=private runs CMD in a
# network namespace of its own too, with only a loopback (scripts/test.sh
# does, so that an X server in the root and one outside, which meet in the
# abstract socket names of their displays, cannot take the same display).
#
# CMD runs as root in a mount namespace of its own, which ends with it: the
# checkout is mounted at its own path inside the root, with /proc and /dev,
# so that paths in the checkout mean the same inside and out, and nothing
# stays mounted when CMD ends, however it ends. Inside, MOVRA_IN_DEBIAN_ROOT
# is 1, which tells scripts/pythons.sh to take the root's interpreters.
# Making the root takes several minutes (mostly downloads) and about 3 GB,
# once per machine; each step prints the time it took. What debootstrap and
# apt-get print goes to a log beside the root ($TARGET.log), shown in part
# when a step fails.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TARGET=${MOVRA_DEBIAN_ROOT:-/var/lib/movra/debian-sid}
MIRROR=${MOVRA_DEBIAN_MIRROR:-http://deb.debian.org/debian}
LIST=$ROOT/requirements/debian-root.txt
STAMP=etc/movra-root.packages  # inside the root: the packages installed from lists
LOG=$TARGET.log                # what debootstrap and apt-get printed, last step

note() { echo "debian-root: $*" >&2; }
die() { echo "debian-root: ERROR: $*" >&2; exit 1; }

packages() {
    sed -e 's/#.*//' -e 's/[[:space:]]//g' "$LIST" | grep -v '^$'
}

# The unstable suite that the mirror serves here is frozen at a date, and its
# Release file's Valid-Until has passed; apt refuses such a suite unless told.
# Several checkouts share the root: an apt-get waits for another's lock.
APT=(apt-get -o Acquire::Check-Valid-Until=false -o APT::Get::Assume-Yes=true
     -o Dpkg::Use-Pty=0 -o DPkg::Lock::Timeout=900 -q)

# Runs a command inside the root with /proc and /dev mounted and, if given,
# the checkout at its own path: in a private mount namespace.
in_root() {
    local bind=$1 network=()
    shift
    if [ "${MOVRA_ROOT_NETWORK:-}" = private ]; then network=(--net); fi
    unshare --mount --propagation private "${network[@]}" -- bash -c '
        set -e
        target=$1 bind=$2
        shift 2
        if [ "$MOVRA_ROOT_NETWORK" = private ]; then ip link set lo up; fi
        # The root a mount of its own, so that inside it the root folder is a
        # mount point, which bubblewrap (the compare tool'"'"'s sandbox) needs.
        mount --bind "$target" "$target"
        mount -t proc proc "$target/proc"
        mount --rbind /dev "$target/dev"
        if [ -n "$bind" ]; then
            mkdir -p "$target$bind"
            mount --bind "$bind" "$target$bind"
        fi
        # The root reaches the network as the machine does: with its resolver
        # and the certificates it trusts (a proxy of its own among them).
        cp -L /etc/resolv.conf "$target/etc/resolv.conf" 2>/dev/null || true
        if [ -f /etc/ssl/certs/ca-certificates.crt ]; then
            mkdir -p "$target/etc/ssl/certs"
            cp -L /etc/ssl/certs/ca-certificates.crt "$target/etc/ssl/certs/ca-certificates.crt"
        fi
        exec chroot "$target" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            LANG=C.UTF-8 MOVRA_IN_DEBIAN_ROOT=1 "$@"
    ' in-root "$TARGET" "$bind" "$@"
}

# The bare minimal system first, then the list's packages by apt-get:
# debootstrap's --include does not resolve a dependency on a virtual package
# (chromium's dconf-service needs "default-dbus-session-bus |
# dbus-session-bus"), and leaves such packages unconfigured.
make_root() {
    command -v debootstrap >/dev/null 2>&1 || {
        note "installing debootstrap"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null ||
            die "apt-get install debootstrap failed"
    }
    local partial=$TARGET.partial
    rm -rf "$partial"
    mkdir -p "$(dirname "$TARGET")"
    note "making the Debian unstable root in $TARGET, once for this machine: debootstrap, then its packages (several minutes; log: $LOG)"
    local started=$SECONDS
    if ! debootstrap --variant=minbase sid "$partial" "$MIRROR" >"$LOG" 2>&1; then
        tail -n 20 "$LOG" >&2
        die "debootstrap failed (the whole log: $LOG)"
    fi
    mv "$partial" "$TARGET"
    note "made in $((SECONDS - started)) s, $(du -sh "$TARGET" | cut -f1)"
}

# The packages of the list that the root has not had installed from a list.
new_packages() {
    packages | grep -vxF -f <(cat "$TARGET/$STAMP" 2>/dev/null || true) || true
}

install_packages() {
    local wanted started=$SECONDS
    wanted=$(new_packages | paste -sd' ' -)
    note "installing into the root the packages of ${LIST#"$ROOT"/}: $wanted (log: $LOG)"
    # shellcheck disable=SC2086
    MOVRA_ROOT_NETWORK= in_root "" bash -c "DEBIAN_FRONTEND=noninteractive ${APT[*]} update &&
        DEBIAN_FRONTEND=noninteractive ${APT[*]} install --no-install-recommends $wanted" \
        >>"$LOG" 2>&1 || {
        tail -n 20 "$LOG" >&2
        die "apt-get could not install the packages of $LIST into $TARGET (the whole log: $LOG)"
    }
    # The stamp is the list, in its order, followed by what earlier lists
    # installed besides, so that the shorter list of an older checkout
    # installs nothing again.
    { packages; grep -vxF -f <(packages) "$TARGET/$STAMP" 2>/dev/null || true; } >"$TARGET/$STAMP.new"
    mv "$TARGET/$STAMP.new" "$TARGET/$STAMP"
    note "installed in $((SECONDS - started)) s, $(du -sh "$TARGET" | cut -f1) in all"
}

ensure() {
    [ "$(id -u)" -eq 0 ] ||
        die "the Debian root needs root (debootstrap, chroot and mounts): run this as root"
    [ "${MOVRA_IN_DEBIAN_ROOT:-}" != 1 ] || die "already inside the Debian root"
    # A root whose packages failed to install has no stamp: they are tried again.
    [ -d "$TARGET" ] || make_root
    [ -z "$(new_packages)" ] || install_packages
}

command=${1:-}
shift || true
case "$command" in
    ensure) ensure ;;
    path) echo "$TARGET" ;;
    run)
        [ $# -gt 0 ] || die "run: say what to run"
        ensure
        # Whatever the command needs from the caller's environment.
        env_args=()
        for name in PYTEST_ARGS FUZZ_EXAMPLES FUZZ_TEST_EXAMPLES SANITIZE_FUZZ_EXAMPLES \
                    BENCH_REPS BENCH_SECONDS BENCH_INSTRUCTIONS MOVRA_BUILD_JOBS ARGS; do
            if [ -n "${!name+x}" ]; then env_args+=("$name=${!name}"); fi
        done
        in_root "$ROOT" /usr/bin/env "${env_args[@]}" bash -c 'cd "$0" && exec "$@"' "$ROOT" "$@"
        ;;
    *) die "usage: bash scripts/debian_root.sh ensure | run CMD [ARG...] | path" ;;
esac
