#!/usr/bin/env bash
# Provision (idempotently) the Debian unstable root that carries CPython 3.14,
# and run commands inside it with the checkout bind-mounted.
#
#   tools/toolchain.sh provision        make sure the root exists and is current
#   tools/toolchain.sh run CMD [ARG..]  run CMD inside the root, cwd = checkout,
#                                       with the checkout's python/ on PYTHONPATH
#
# The root lives outside the checkout so that every clone on this machine
# shares it. All mounts are made in a private mount namespace, so they vanish
# with the process on every exit path, including a kill.
#
# Debian ships no free-threaded interpreter, so the root also gets one built
# from a CPython 3.14 source archive (VESK_CPYTHON_SOURCE, by default the one
# beside the checkout) into /opt/python3.14t; it is rebuilt only when the
# archive changes, and kept when the archive is absent.
set -euo pipefail

ROOT=${VESK_TOOLCHAIN:-/opt/vesk-toolchain}
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
CHECKOUT=$(cd "$HERE/.." && pwd)
PKG_LIST="$HERE/toolchain-packages.txt"
STAMP="$ROOT/.vesk-toolchain-stamp"
FT_PREFIX=/opt/python3.14t
FT_STAMP="$ROOT$FT_PREFIX/.vesk-source-sha256"
CPYTHON_SOURCE=${VESK_CPYTHON_SOURCE:-$CHECKOUT/../shared/cpython/cpython-3.14.7-trimmed.tar.gz}
APT_OPTS=(-o Acquire::Check-Valid-Until=false -o Acquire::Retries=3 -o APT::Install-Recommends=false)

log() { echo "toolchain: $*" >&2; }

host_mirror() {
    local m
    m=$(grep -hoE '^URIs:\s*\S+' /etc/apt/sources.list.d/*.sources 2>/dev/null \
        | awk '{print $2}' | grep -v security | head -n1 || true)
    [ -n "$m" ] || m=$(grep -hoE '^deb\s+\S+' /etc/apt/sources.list 2>/dev/null \
        | awk '{print $2}' | head -n1 || true)
    echo "${m:-http://deb.debian.org/debian}"
}

packages() { grep -vE '^\s*(#|$)' "$PKG_LIST" | sort -u; }
wanted_stamp() { packages | sha256sum | cut -d' ' -f1; }

# Whether every listed package is installed in the root. Clones at other
# commits share the root with other lists; a list whose packages are all
# there needs no install, so clones do not undo each other's stamp.
all_installed() {
    local status
    # shellcheck disable=SC2046
    status=$(dpkg-query --admindir="$ROOT/var/lib/dpkg" -W -f='${db:Status-Abbrev}\n' \
        $(packages) 2>/dev/null) || return 1
    ! grep -qv '^ii' <<<"$status"
}

# Run a command chrooted into the root, inside a fresh private mount namespace.
# $1: the directory to bind at /checkout (may be empty for none).
# The inner script is passed as an argument, not on standard input, so the
# command inherits the caller's standard input.
in_root() {
    local bind=$1; shift
    unshare --mount --propagation private -- /bin/bash -c "$IN_ROOT_SCRIPT" in_root "$ROOT" "$bind" "$@"
}

IN_ROOT_SCRIPT=$(cat <<'INNER'
set -euo pipefail
root=$1; bind=$2; shift 2
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mkdir -p "$root/tmp" && mount -t tmpfs tmpfs "$root/tmp"
cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
if [ -n "$bind" ]; then
    mkdir -p "$root/checkout"
    mount --bind "$bind" "$root/checkout"
    cd_to=/checkout home=/tmp
else
    cd_to=/ home=/root
fi
# The environment starts empty; commands run on the checkout import its
# package (python/) as a development build would be used. Their home is
# this run's /tmp, so what they keep there (an interpreter's history, a
# pip cache) never lands in the shared root; provisioning keeps /root.
exec chroot "$root" /usr/bin/env -i \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME="$home" LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" \
    ${bind:+PYTHONPATH=/checkout/python} \
    DEBIAN_FRONTEND=noninteractive \
    /bin/bash -c 'cd "$0" && exec "$@"' "$cd_to" "$@"
INNER
)

provision_locked() {
    if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$(wanted_stamp)" ]; then
        return 0
    fi
    if [ -x "$ROOT/usr/bin/apt-get" ] && all_installed; then
        return 0
    fi
    CHANGED=1
    if [ ! -x "$ROOT/usr/bin/apt-get" ]; then
        # The new root takes the place of $ROOT: only an absent or empty
        # directory may be replaced, never a directory that holds anything.
        if [ -e "$ROOT" ] && [ -n "$(ls -A "$ROOT" 2>/dev/null || echo x)" ]; then
            log "$ROOT exists but is not a toolchain root; move it away or set VESK_TOOLCHAIN"
            exit 1
        fi
        command -v debootstrap >/dev/null || {
            log "installing debootstrap on the host"
            apt-get update -qq && apt-get install -y -qq debootstrap >/dev/null
        }
        local mirror; mirror=$(host_mirror)
        log "bootstrapping Debian unstable into $ROOT from $mirror (takes a few minutes)"
        rm -rf "$ROOT.partial"
        mkdir -p "$ROOT.partial"
        # debootstrap mounts /proc itself; keep those mounts in a private namespace.
        unshare --mount --propagation private -- \
            debootstrap --variant=minbase --no-merged-usr unstable "$ROOT.partial" "$mirror" \
            >"$ROOT.debootstrap.log" 2>&1 || {
                log "debootstrap failed; see $ROOT.debootstrap.log"; tail -n 20 "$ROOT.debootstrap.log" >&2; exit 1; }
        rmdir "$ROOT" 2>/dev/null || true
        mv -T "$ROOT.partial" "$ROOT"
        echo 'Acquire::Check-Valid-Until "false";' > "$ROOT/etc/apt/apt.conf.d/99vesk-snapshot"
        echo 'APT::Install-Recommends "false";' >> "$ROOT/etc/apt/apt.conf.d/99vesk-snapshot"
    fi
    log "installing packages: $(packages | tr '\n' ' ')"
    local apt_log="$ROOT.apt.log"
    # shellcheck disable=SC2046
    # `dpkg --configure -a` finishes an install that a killed run interrupted.
    { in_root "" dpkg --configure -a &&
      in_root "" apt-get "${APT_OPTS[@]}" update -qq &&
      in_root "" apt-get "${APT_OPTS[@]}" install -y -qq $(packages) &&
      in_root "" apt-get clean; } </dev/null >"$apt_log" 2>&1 || {
        log "package install failed; see $apt_log"; tail -n 20 "$apt_log" >&2; exit 1; }
    wanted_stamp > "$STAMP"
    log "toolchain ready"
}

# Builds the free-threaded interpreter from the source archive, once per
# archive. The stamp is written last, so an interrupted build starts over.
provision_free_threaded() {
    if [ ! -f "$CPYTHON_SOURCE" ]; then
        [ -x "$ROOT$FT_PREFIX/bin/python3.14t" ] ||
            log "no CPython source archive at $CPYTHON_SOURCE: python3.14t is not built (set VESK_CPYTHON_SOURCE)"
        return 0
    fi
    local sum; sum=$(sha256sum "$CPYTHON_SOURCE" | cut -d' ' -f1)
    if [ -f "$FT_STAMP" ] && [ "$(cat "$FT_STAMP")" = "$sum" ]; then
        return 0
    fi
    CHANGED=1
    log "building the free-threaded python3.14t from $CPYTHON_SOURCE (a few minutes)"
    local work=/var/tmp/vesk-cpython ft_log="$ROOT.python3.14t.log"
    rm -rf "$ROOT$work" "$ROOT$FT_PREFIX"
    mkdir -p "$ROOT$work/src"
    tar -xzf "$CPYTHON_SOURCE" -C "$ROOT$work/src" --strip-components=1
    in_root "" /bin/bash -c "cd $work/src && ./configure --disable-gil --prefix=$FT_PREFIX \
            --with-ensurepip=no --disable-test-modules && make -j\$(nproc) && make install" \
        </dev/null >"$ft_log" 2>&1 || {
            log "python3.14t build failed; see $ft_log"; tail -n 20 "$ft_log" >&2; exit 1; }
    rm -rf "$ROOT$work"
    echo "$sum" > "$FT_STAMP"
    log "python3.14t ready at $FT_PREFIX"
}

provision() {
    mkdir -p "$(dirname "$ROOT")"
    # One provisioner at a time; later arrivals wait and then find the stamp.
    exec 9>"$ROOT.lock"
    flock 9
    CHANGED=
    provision_locked
    provision_free_threaded
    flock -u 9
    exec 9>&-  # builds and tests need no handle on the lock file
    # Say which root is used, once, when it was taken as it was.
    [ -n "$CHANGED" ] || log "reusing the root at $ROOT$([ -x "$ROOT$FT_PREFIX/bin/python3.14t" ] &&
        echo ", python3.14t included"); set VESK_TOOLCHAIN for another"
}

case "${1:-}" in
    provision) provision ;;
    run) shift; provision; in_root "$CHECKOUT" "$@" ;;
    *) echo "usage: $0 provision | run CMD [ARG...]" >&2; exit 2 ;;
esac
