# SPDX-License-Identifier: MIT
# Debian package installation for the scripts (sourced, not run). Works on Debian 12 and 13, amd64
# and arm64: names that differ between releases are chosen by asking apt what is installable,
# never from a table of releases.
#
# The sourcing script defines say(); apt runs through sudo when the script is not root.

apt_get() {
  local sudo=()
  ((EUID == 0)) || sudo=(sudo)
  "${sudo[@]+"${sudo[@]}"}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@"
}

packages_updated=0
apt_update_once() {
  ((packages_updated)) && return 0
  apt_get update -q
  packages_updated=1
}

# True when NAME[:ARCH] is installed (for the native architecture when no ARCH is given).
package_installed() {
  local name=${1%%:*} arch
  arch=$(dpkg --print-architecture)
  [[ $1 == *:* ]] && arch=${1#*:}
  local status
  status=$(dpkg-query -W -f='${db:Status-Abbrev}${Architecture}\n' "$name" 2>/dev/null) || return 1
  grep -qE "^ii.($arch|all)\$" <<<"$status"
}

# Installs every NAME or NAME:ARCH that is not installed yet; apt-get update runs only when something
# is missing. --no-remove: matching the versions of Multi-Arch "same" libraries across architectures
# may upgrade a few packages, but must never remove one.
ensure_packages() {
  local p missing=()
  for p in "$@"; do
    package_installed "$p" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  say "installing ${missing[*]}"
  if ((EUID != 0)) && ! command -v sudo >/dev/null; then
    echo "run as root, or install these packages first: ${missing[*]}" >&2
    return 1
  fi
  apt_update_once
  apt_get install -y -q --no-install-recommends --no-remove "${missing[@]}"
}

# True when apt has a real (not only virtual) candidate for NAME[:ARCH].
package_available() {
  local policy
  # Read whole first: grep -q may end before apt-cache has written, and pipefail sees SIGPIPE.
  policy=$(apt-cache policy "$1" 2>/dev/null) || return 1
  grep -qE '^ +Candidate: [^(]' <<<"$policy"
}

# Prints the first of the NAME[:ARCH] arguments that this release can install, refreshing the
# package lists once when none is known; fails when none is.
first_available() {
  local p
  for p in "$@"; do
    package_available "$p" && { echo "$p"; return 0; }
  done
  apt_update_once >&2
  for p in "$@"; do
    package_available "$p" && { echo "$p"; return 0; }
  done
  echo "none of these packages can be installed here: $*" >&2
  return 1
}

# The Qt 5 Core runtime package of this release (libqt5core5t64 since the 64-bit time_t move, before
# it libqt5core5a), for the architecture given as ":ARCH" or the native one.
qt5core_package() {
  first_available "libqt5core5t64$1" "libqt5core5a$1"
}

# The compiler runtime package (sanitizers, libFuzzer) that matches the installed clang.
clang_runtime_package() {
  local major
  major=$(clang -dumpversion 2>/dev/null | cut -d. -f1)
  [[ -n $major ]] || { echo "clang is not installed" >&2; return 1; }
  echo "libclang-rt-$major-dev"
}
