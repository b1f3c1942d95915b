#!/usr/bin/env bash
# Sets up both interpreters and the two virtual environments; safe to run again.
#   tools/bootstrap.sh            -> .venv (3.13t) and .venv-gil (3.13)
#   tools/bootstrap.sh --debug    -> also a --with-pydebug free-threaded build
#   tools/bootstrap.sh --tsan     -> also a --with-thread-sanitizer free-threaded build
#   tools/bootstrap.sh --next     -> also a Debian unstable root with CPython 3.14 and 3.15
#                                    (tools/next.sh makes its venvs and runs the suite there)
# Prints nothing but progress; interpreters are cached under ~/.cache/quoril.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
cache=${QUORIL_CACHE:-$HOME/.cache/quoril}
mkdir -p "$cache"
want_debug=0 want_tsan=0 want_next=0
for a in "$@"; do
  case $a in
    --debug) want_debug=1 ;;
    --tsan) want_tsan=1 ;;
    --next) want_next=1 ;;
    *) echo "unknown option $a" >&2; exit 2 ;;
  esac
done

log() { printf '[bootstrap] %s\n' "$*" >&2; }

# "$1" is a python; "$2" is 1 for a free-threaded build, 0 for a default one.
is_313_build() {
  "$1" - "$2" <<'PY' >/dev/null 2>&1
import sys, sysconfig
want = sys.argv[1] == "1"
ft = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
sys.exit(0 if sys.version_info[:2] == (3, 13) and ft == want else 1)
PY
}

# The Debian archive the machine's apt sources name.
debian_mirror() {
  local uri
  uri=$(grep -hE '^URIs:' /etc/apt/sources.list.d/*.sources 2>/dev/null \
        | awk '{print $2}' | grep -E '/debian/?$' | head -n1 || true)
  if [ -z "$uri" ]; then
    uri=$(grep -hE '^deb ' /etc/apt/sources.list 2>/dev/null \
          | awk '{print $2}' | grep -E '/debian/?$' | head -n1 || true)
  fi
  [ -n "$uri" ] || { log "no Debian archive found in the apt sources"; exit 1; }
  echo "$uri"
}

# Debian's source package gives a known, patched-upstream tarball without reaching
# anything but the distribution archive.
fetch_source() {
  local src=$cache/src
  if compgen -G "$src/python3.13_*.orig.tar.xz" >/dev/null; then
    ls "$src"/python3.13_*.orig.tar.xz | sort -V | tail -n1
    return
  fi
  mkdir -p "$src"
  local list=/etc/apt/sources.list.d/quoril-deb-src.sources
  if [ ! -f "$list" ]; then
    local uri
    uri=$(debian_mirror)
    log "adding a deb-src entry for trixie"
    printf 'Types: deb-src\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
      "$uri" >"$list"
  fi
  apt-get update -qq >&2
  command -v dpkg-source >/dev/null || apt-get install -y -qq dpkg-dev >&2
  (cd "$src" && apt-get source --download-only -qq python3.13 >&2)
  ls "$src"/python3.13_*.orig.tar.xz | sort -V | tail -n1
}

# build_python <suffix> <configure flags...>; prints the interpreter's path.
# PATCHES names patch files (-p1) to apply to the source first; the install
# records them, so a changed set rebuilds.
build_python() {
  local suffix=$1; shift
  local tarball version prefix work stamp p
  tarball=$(fetch_source)
  version=$(basename "$tarball" | sed -E 's/^python3\.13_([0-9.]+)\.orig\.tar\.xz$/\1/')
  prefix=$cache/cpython-$version$suffix
  stamp=$(for p in ${PATCHES:-}; do sha256sum <"$p"; done | sha256sum | cut -d' ' -f1)
  # Runs in a subshell of its caller: the lock is held until this build is in
  # place, so that two runs at once (CI beside a session) never share a half-built prefix.
  exec 9>"$cache/.cpython-$version$suffix.lock"
  flock 9
  if [ -f "$prefix/.complete" ] && [ "$(cat "$prefix/.complete")" = "$stamp" ]; then
    installed_python "$prefix"; return
  fi
  rm -rf "$prefix"
  work=$(mktemp -d)
  log "building CPython $version$suffix ($*) in $work"
  tar -xJf "$tarball" -C "$work"
  for p in ${PATCHES:-}; do patch -d "$work"/Python-*/ -p1 -s <"$p" >&2; done
  (
    cd "$work"/Python-*/
    ./configure --prefix="$prefix" --with-ensurepip=install "$@" >"$work/configure.log" 2>&1 \
      || { tail -n 40 "$work/configure.log" >&2; exit 1; }
    make -j"$(nproc)" >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
    make install >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log" >&2; exit 1; }
  )
  # The source tree is kept beside the install for its headers, docs and suppressions.
  rm -rf "$prefix.src" && mv "$work"/Python-*/ "$prefix.src"
  rm -rf "$work"
  echo "$stamp" >"$prefix/.complete"
  installed_python "$prefix"
}

# The interpreter of an install prefix: python3.13td, python3.13t or python3.13.
installed_python() {
  local exe
  for exe in "$1"/bin/python3.13td "$1"/bin/python3.13t "$1"/bin/python3.13; do
    [ -x "$exe" ] && { echo "$exe"; return; }
  done
  return 1
}

find_free_threaded() {
  local p
  p=$(command -v python3.13t 2>/dev/null || true)
  if [ -n "$p" ] && is_313_build "$p" 1; then echo "$p"; return; fi
  p=$(build_python t --disable-gil)
  is_313_build "$p" 1 || { log "$p is not a free-threaded 3.13"; exit 1; }
  echo "$p"
}

find_default() {
  local p
  for p in "$(command -v python3.13 2>/dev/null || true)" \
           "$(pyenv root 2>/dev/null)"/versions/3.13*/bin/python3.13; do
    [ -n "$p" ] && [ -x "$p" ] && is_313_build "$p" 0 && { echo "$p"; return; }
  done
  p=$(build_python "" )
  is_313_build "$p" 0 || { log "$p is not a default 3.13 build"; exit 1; }
  echo "$p"
}

# The Debian unstable root for CPython 3.14 and 3.15, built once into the cache; a
# changed package list rebuilds it. Prints its path.
NEXT_PACKAGES="python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv
  g++ cmake make ca-certificates"
build_next_root() {
  local root=$cache/debian-sid stamp partial
  stamp=$(echo $NEXT_PACKAGES | sha256sum | cut -d' ' -f1)
  exec 9>"$cache/debian-sid.lock"
  flock 9
  if [ -f "$root/.complete" ] && [ "$(cat "$root/.complete")" = "$stamp" ]; then
    exec 9>&-; echo "$root"; return
  fi
  partial=$root.partial
  # A root with something still mounted in it must not be deleted through the mount.
  if grep -qE " ($root|$partial)/" /proc/mounts; then
    log "$root has mounts in it; not rebuilding it"; exit 1
  fi
  command -v debootstrap >/dev/null || { apt-get update -qq >&2; apt-get install -y -qq debootstrap >&2; }
  rm -rf "$root" "$partial"
  log "making a Debian unstable root in $root (a few minutes)"
  debootstrap --variant=minbase sid "$partial" "$(debian_mirror)" >"$cache/debian-sid.log" 2>&1 \
    || { tail -n 40 "$cache/debian-sid.log" >&2; exit 1; }
  # This machine's clock may run past the Valid-Until of the archive's Release file.
  echo 'Acquire::Check-Valid-Until "false";' >"$partial/etc/apt/apt.conf.d/99quoril"
  "$here/tools/in-root.sh" "$partial" sh -c \
    "apt-get update -qq && apt-get install -y -qq --no-install-recommends $(echo $NEXT_PACKAGES) && apt-get clean" \
    >>"$cache/debian-sid.log" 2>&1 || { tail -n 40 "$cache/debian-sid.log" >&2; exit 1; }
  echo "$stamp" >"$partial/.complete"
  mv "$partial" "$root"
  exec 9>&-
  echo "$root"
}

# make_venv <dir> <python> <requirements file>
make_venv() {
  local dir=$1 py=$2 req=$3
  if [ ! -x "$dir/bin/python" ] || ! "$dir/bin/python" -c 'import sys' 2>/dev/null \
     || [ "$("$dir/bin/python" -c 'import sys; print(sys._base_executable)' 2>/dev/null)" != "$py" ]; then
    log "creating $dir on $py"
    rm -rf "$dir"
    "$py" -m venv "$dir"
  fi
  local stamp=$dir/.requirements.sha
  local sum
  # The requirement files include one another, so a change to any re-installs.
  sum=$(cat "$req" "$(dirname "$req")"/*.txt | sha256sum | cut -d' ' -f1)
  if [ "$(cat "$stamp" 2>/dev/null)" != "$sum" ]; then
    "$dir/bin/python" -m pip install -q --upgrade pip >&2
    "$dir/bin/python" -m pip install -q -r "$req" >&2
    echo "$sum" >"$stamp"
  fi
}

ft=$(find_free_threaded)
gil=$(find_default)
log "free-threaded: $ft"
log "default:       $gil"
make_venv "$here/.venv" "$ft" "$here/requirements/test-ft.txt"
make_venv "$here/.venv-gil" "$gil" "$here/requirements/test-gil.txt"
# The debug build serves allocation-failure injection: it carries a fix for
# CPython 3.13's PyList_New, which on this build frees an unset item pointer
# when the item array cannot be allocated.
if [ $want_debug = 1 ]; then
  PATCHES="$here/tools/patches/list-new-nomemory.patch" \
    build_python t-debug --disable-gil --with-pydebug >/dev/null
fi
if [ $want_tsan = 1 ]; then
  command -v clang >/dev/null || apt-get install -y -qq clang >&2
  CC=clang CXX=clang++ build_python t-tsan --disable-gil --with-thread-sanitizer >/dev/null
fi
if [ $want_next = 1 ]; then
  build_next_root >/dev/null
fi
exit 0
