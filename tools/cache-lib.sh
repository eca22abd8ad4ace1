# Shared by the scripts in tools/ that fetch or build something once per
# machine and keep it outside the checkout. Source it from bash:
#   . "$(dirname "$0")/cache-lib.sh"
#
# The cache is $VORN_CACHE, default ${XDG_CACHE_HOME:-~/.cache}/vorn. Every
# entry is a directory that is complete only once its marker exists; entries
# are built under a lock, so concurrent clones wait rather than race.

vorn_cache="${VORN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vorn}"

# Prints the entry's directory; does not create it.
cache_entry() { echo "$vorn_cache/$1"; }

# True when entry $1 was completed.
cache_complete() { [[ -f "$vorn_cache/$1/.complete" ]]; }

# Marks entry $1 complete. Call it last, after the entry has been checked.
cache_mark_complete() { touch "$vorn_cache/$1/.complete"; }

# Takes the lock of entry $1 on file descriptor 8 (released when the script
# exits). After it returns, check cache_complete again: another process may
# have built the entry while this one waited.
cache_lock() {
  mkdir -p "$vorn_cache"
  exec 8>"$vorn_cache/.$1.lock"
  flock 8
}

# Sets the array apt_opts to a private apt configuration named $1 under the
# cache, so the machine's own sources, architectures and state stay untouched.
# $2 is the deb822 "Types:" value (deb or deb-src), $3 the suite, $4 optional
# architectures (e.g. arm64). Runs `apt-get update` for it once per hour.
cache_apt() {
  local name=$1 types=$2 suite=$3 arches=${4:-}
  local dir="$vorn_cache/apt-$name"
  mkdir -p "$dir/sources.d" "$dir/lists/partial" "$dir/cache/archives/partial"
  cat >"$dir/sources.d/$name.sources" <<SRC
Types: $types
URIs: http://deb.debian.org/debian
Suites: $suite
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  apt_opts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$dir/sources.d"
            -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache"
            -o "Dir::State::status=$dir/status"
            -o "APT::Sandbox::User=root")   # the cache may sit where apt's own user cannot write
  [[ -f "$dir/status" ]] || : >"$dir/status"
  if [[ -n "$arches" ]]; then
    apt_opts+=(-o "APT::Architecture=${arches%%,*}" -o "APT::Architectures=$arches")
  fi
  if [[ -z "$(find "$dir/lists" -maxdepth 1 -name '*Release' -mmin -60 2>/dev/null)" ]]; then
    apt-get "${apt_opts[@]}" -q update >&2
  fi
}

# Sets python_source to the upstream tarball of Debian's python3.13 source
# package (suite trixie), fetched once into the cache entry python3.13-source.
# tools/interpreter/bootstrap-python builds it for this machine, tools/cross/cross-python for
# aarch64. Safe to call while holding another entry's lock.
cache_python_source() {
  local entry=python3.13-source dir="$vorn_cache/python3.13-source"
  if ! cache_complete "$entry"; then
    (
      cache_lock "$entry"   # in a subshell, so the caller's lock on fd 8 is kept
      if ! cache_complete "$entry"; then
        echo "$(basename "$0"): fetching Debian's python3.13 source package" >&2
        cache_apt trixie-src deb-src trixie
        rm -rf "$dir" && mkdir -p "$dir"
        (cd "$dir" && apt-get "${apt_opts[@]}" -q source --download-only python3.13 >&2)
        ls "$dir"/python3.13_*.orig.tar.* >/dev/null
        cache_mark_complete "$entry"
      fi
    )
  fi
  python_source=$(ls "$dir"/python3.13_*.orig.tar.* | head -n 1)
}
