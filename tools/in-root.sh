#!/usr/bin/env bash
# Runs a command as root inside a Debian root made by the bootstrap, with the checkout
# mounted at its own path:
#   tools/in-root.sh <root> <command> [args...]
# The mounts live in a mount namespace of their own, so they are invisible to the rest
# of the machine and gone once the command ends, however it ends; the trap undoes them
# in order as well. The command sees a clean environment (PATH, HOME, LANG, TERM).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
root=$(cd "$1" && pwd)
shift

if [ "${QUORIL_IN_NAMESPACE:-}" != "$root" ]; then
  QUORIL_IN_NAMESPACE=$root exec unshare --mount --propagation private -- "$0" "$root" "$@"
fi

mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -R "${mounted[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount_at() {  # mount_at <target> <mount args...>
  local target=$1; shift
  mount "$@" "$target"
  mounted+=("$target")
}

mount_at "$root/proc" -t proc proc
mount_at "$root/dev" --rbind /dev
mount_at "$root/tmp" -t tmpfs -o mode=1777 tmpfs
mkdir -p "$root$here"
mount_at "$root$here" --bind "$here"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
# pip inside trusts what the machine's own clients trust (a proxy may sign for PyPI here).
ca=${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}
pip_cert=()
if [ -f "$ca" ]; then cp -L "$ca" "$root/tmp/host-ca.crt"; pip_cert=(PIP_CERT=/tmp/host-ca.crt); fi

status=0
env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
  LANG=C.UTF-8 TERM="${TERM:-dumb}" PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore \
  DEBIAN_FRONTEND=noninteractive "${pip_cert[@]}" chroot "$root" /bin/sh -c 'cd "$0" && exec "$@"' "$here" "$@" \
  || status=$?
exit $status
