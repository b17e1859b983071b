#!/usr/bin/env bash
# Runs one command in a fresh Debian 12 (bookworm) machine and times it: what a
# new user's first `./dev run` or `./dev test` costs, downloads included.
#
#   scripts/fresh-root.sh COMMIT [COMMAND...]
#     COMMIT   any commit of this repository (a hash, a branch, HEAD)
#     COMMAND  run in the clone's top folder; default: ./dev run /usr/share/doc
#
#   e.g. scripts/fresh-root.sh HEAD
#        scripts/fresh-root.sh 9637e6f ./dev test
#
# The root is a minimal debootstrap of bookworm holding only apt, git, sudo,
# procps and ca-certificates (debootstrap itself is installed through apt when
# missing). The debootstrapped base is cached as a tarball in
# $FRESH_ROOT_CACHE (default /work/fresh-root-cache) so later runs start from a
# copy of it; delete the tarball to debootstrap anew. The commit is cloned into
# /root/corvane-mcp inside the root, and the command runs there as root under
# chroot with /proc, /sys and /dev mounted in a private mount namespace (the
# mounts go away with it, and are unmounted on exit). Prints the command's
# wall time and its last line; the whole output is kept in
# $FRESH_ROOT_CACHE/run-COMMIT.log. The root itself is deleted afterwards
# unless KEEP_ROOT=1.
#
# Needs root and the network the command needs (Debian's mirror, the npm
# registry). On a network that inspects TLS, the host's own certificate
# authorities (/usr/local/share/ca-certificates) and NODE_EXTRA_CA_CERTS
# carry over into the root.
set -euo pipefail

[ $# -ge 1 ] || { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "fresh-root: needs root (debootstrap, chroot, mounts)" >&2; exit 2; }

REPO=$(git -C "$(dirname "${BASH_SOURCE[0]}")" rev-parse --show-toplevel)
CACHE=${FRESH_ROOT_CACHE:-/work/fresh-root-cache}
BASE=$CACHE/bookworm-base.tar
MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
COMMIT=$(git -C "$REPO" rev-parse --verify "$1^{commit}")
shift
COMMAND=${*:-./dev run /usr/share/doc}

# The mounts live in a namespace of their own, so nothing leaks into the host
# even if this script is killed before its trap runs.
if [ -z "${FRESH_ROOT_NS:-}" ]; then
  exec env FRESH_ROOT_NS=1 unshare --mount --propagation private -- "$0" "$COMMIT" "$COMMAND"
fi

# All in one function: bash then reads the whole script before running it,
# so editing the script during a run cannot change what the run does.
main() {
  say() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

  mkdir -p "$CACHE"
  if [ ! -f "$BASE" ]; then
    if ! command -v debootstrap >/dev/null 2>&1; then
      say "installing debootstrap"
      DEBIAN_FRONTEND=noninteractive apt-get update -qq
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
    fi
    say "debootstrapping bookworm (once; cached as $BASE)"
    staging=$(mktemp -d "$CACHE/debootstrap.XXXXXX")
    debootstrap --variant=minbase --include=apt,git,sudo,procps,ca-certificates \
      bookworm "$staging" "$MIRROR" >"$CACHE/debootstrap.log" 2>&1 ||
      { tail -n 20 "$CACHE/debootstrap.log" >&2; rm -rf "$staging"; exit 1; }
    # The package lists are stale by the time the cache is used; a new machine
    # starts without them, as a user's does.
    rm -rf "$staging"/var/lib/apt/lists/* "$staging"/var/cache/apt/archives/*.deb
    tar -C "$staging" -cf "$BASE.part" . && mv "$BASE.part" "$BASE"
    rm -rf "$staging"
  fi

  ROOT=$(mktemp -d "${TMPDIR:-/var/tmp}/corvane-fresh-root.XXXXXX")
  cleanup() {
    for m in dev sys proc; do umount -R "$ROOT/$m" 2>/dev/null || true; done
    [ "${KEEP_ROOT:-0}" = 1 ] && say "root kept in $ROOT" || rm -rf "$ROOT"
  }
  trap cleanup EXIT

  tar -C "$ROOT" -xf "$BASE"
  # mktemp's 0700 (kept in the tarball's "." too) would become the root's own
  # /, shutting out apt's _apt user and every unprivileged user the tests run as.
  chmod 0755 "$ROOT"
  cp /etc/resolv.conf "$ROOT/etc/resolv.conf"
  # A network that inspects TLS needs its certificate authority inside too.
  if compgen -G '/usr/local/share/ca-certificates/*.crt' >/dev/null; then
    cp /usr/local/share/ca-certificates/*.crt "$ROOT/usr/local/share/ca-certificates/"
    chroot "$ROOT" update-ca-certificates >/dev/null 2>&1
  fi
  git clone -q --no-checkout "$REPO" "$ROOT/root/corvane-mcp"
  git -C "$ROOT/root/corvane-mcp" checkout -q --detach "$COMMIT"
  say "$(git -C "$ROOT/root/corvane-mcp" log -1 --format='%h %s')"

  mount -t proc proc "$ROOT/proc"
  mount -t sysfs sysfs "$ROOT/sys"
  mount --rbind /dev "$ROOT/dev"

  LOG=$CACHE/run-${COMMIT:0:12}.log
  say "running: $COMMAND"
  started=$(date +%s.%N)
  status=0
  chroot "$ROOT" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    ${NODE_EXTRA_CA_CERTS:+NODE_EXTRA_CA_CERTS=/etc/ssl/certs/ca-certificates.crt} \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -c "cd /root/corvane-mcp && $COMMAND" </dev/null >"$LOG" 2>&1 || status=$?
  ended=$(date +%s.%N)

  echo "last line: $(grep -v '^[[:space:]]*$' "$LOG" | tail -n 1)"
  awk -v a="$started" -v b="$ended" -v s="$status" \
    'BEGIN { t = b - a; printf "wall time: %.1f s (%d min %02d s), exit status %d\n", t, t / 60, t % 60, s }'
  return "$status"
}

main; exit
