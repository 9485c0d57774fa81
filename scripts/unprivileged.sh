#!/usr/bin/env bash
# Movra as an ordinary user meets it, run by root for make check: a user of
# its own without root (USER, made with useradd when missing) gets a copy of
# this checkout that it owns (the files git tracks or would add, as they are
# in the work tree), then, as that user, with a clean environment:
#   1. scripts/installed_use.sh system: pip install of the copy into a
#      fresh environment of the system's python3, and the commands movra and
#      movra-compare, and the host of one's own of docs/api.md;
#   2. make test: the contributor's lane, under the newest Python 3 that
#      user has (pyenv's interpreters live under /root, which it cannot
#      read: the system's python3).
# The user's home keeps pip's cache between runs; the copy is removed at the
# end.
#
#   bash scripts/unprivileged.sh
# Environment: MOVRA_CI_USER, the user (default movra-ci).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
USER_NAME=${MOVRA_CI_USER:-movra-ci}

note() { echo "unprivileged: $*"; }
die() { echo "unprivileged: FAILED: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || die "this makes a user and runs as it: run it as root"
if ! id -u "$USER_NAME" >/dev/null 2>&1; then
    note "making the user $USER_NAME"
    useradd --create-home --shell /bin/bash --user-group "$USER_NAME" ||
        die "useradd could not make the user $USER_NAME"
fi
home=$(getent passwd "$USER_NAME" | cut -d: -f6)
[ -n "$home" ] && [ -d "$home" ] || die "the user $USER_NAME has no home folder"
[ "$(id -u "$USER_NAME")" -ne 0 ] || die "$USER_NAME is root"

work=$(mktemp -d /tmp/movra-unprivileged-XXXXXX)
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
copy=$work/movra
mkdir "$copy"
(cd "$ROOT" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
    tar --null -T - -cf -) | tar -xf - -C "$copy" ||
    die "could not copy the checkout to $copy"
chown -R "$USER_NAME:" "$work"
chmod 755 "$work"

# As the user, with what a login of it would have: no pyenv, no PYTHONPATH.
as_user() {
    runuser -u "$USER_NAME" -- env -i HOME="$home" USER="$USER_NAME" LOGNAME="$USER_NAME" \
        PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 TERM=dumb ${CI:+CI="$CI"} \
        bash -c 'cd "$0" && exec "$@"' "$copy" "$@"
}

as_user bash -c '! id -nG | grep -qw root && [ ! -w /root ] && [ "$(id -u)" -ne 0 ]' ||
    die "$USER_NAME can act as root here"
note "as $USER_NAME (uid $(id -u "$USER_NAME")), in a copy of the checkout: the installed commands"
as_user bash scripts/installed_use.sh system || die "the installed use as $USER_NAME"
note "as $USER_NAME: make test"
started=$SECONDS
as_user make test || die "make test as $USER_NAME (after $((SECONDS - started)) s)"
note "passed as $USER_NAME: the installed use, and make test in $((SECONDS - started)) s"
