#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages of a build tree with cpack, checks their fields, dependencies and
# contents, unpacks them into a throw-away root and runs the unpacked lscam from there against
# the simulated camera (lscam list, and lscam doctor reading the unpacked udev rules). With
# lintian installed the packages must also pass it, but for the tags that need a decision beyond
# the build (an upload's bug number).
#
# deb-test.sh BUILD_DIR SIM_DIR VERSION
set -euo pipefail

build=$1 sim=$2 version=$3
release=$version-1
arch=$(dpkg --print-architecture)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset SIMCAM_CAMERAS SIMCAM_RATE SIMCAM_SENSOR SIMCAM_LINE_WIDTH SIMCAM_OPEN_ERROR SIMCAM_CLAIM_ERROR LSCAM_SYSROOT

fail() { printf 'deb test: %s\n' "$*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }

packages=(libvantorpi1 libvantorpi-dev vantorpi-tools)
grep -q '^set(CPACK_COMPONENTS_ALL ".*python' "$build/CPackConfig.cmake" && packages+=(python3-vantorpi)
grep -q '^set(CPACK_COMPONENTS_ALL ".*gst' "$build/CPackConfig.cmake" && packages+=(gstreamer1.0-vantorpi)
deb() { echo "$work/out/$1_${release}_$2.deb"; }
field() { dpkg-deb -f "$1" "$2"; }

# field_has DEB FIELD ITEM...: every ITEM is one of the comma-separated entries of FIELD.
field_has() {
  local file=$1 name=$2 value
  shift 2
  value=", $(field "$file" "$name"), "
  for item in "$@"; do
    [[ $value == *", $item"[\ ,]* ]] || fail "$(basename "$file"): $name lacks $item: $(field "$file" "$name")"
  done
}

# contains DEB PATTERN...: the package has a path matching each (grep -E) pattern.
contains() {
  local file=$1 list
  shift
  list=$(dpkg-deb -c "$file" | awk '{print $6}')
  for pattern in "$@"; do
    grep -qE "^\./$pattern\$" <<<"$list" || fail "$(basename "$file") has no $pattern:"$'\n'"$list"
  done
}

for p in "${packages[@]}"; do
  a=$arch
  [[ $p == python3-* ]] && a=all
  file=$(deb "$p" "$a")
  [[ -f $file ]] || fail "no $(basename "$file") among: $(ls "$work/out")"
  [[ $(field "$file" Package) == "$p" && $(field "$file" Version) == "$release" &&
    $(field "$file" Architecture) == "$a" ]] || fail "$(basename "$file"): wrong Package, Version or Architecture"
  printf '%s: Depends: %s\n' "$p" "$(field "$file" Depends)"
done
ls "$work/out"/*.deb | wc -l | grep -qx "${#packages[@]}" || fail "unexpected packages: $(ls "$work/out")"

# owner PATH: the installed package that ships PATH (either side of the /usr merge).
owner() {
  local p found
  for p in "$1" "$(realpath "$1")"; do
    for found in "$p" "/usr${p#/usr}" "${p#/usr}"; do
      dpkg -S "$found" 2>/dev/null | head -1 | cut -d: -f1 | grep . && return 0
    done
  done
  fail "no installed package ships $1"
}

# depends_on_linked DEB BINARY: DEB depends on the package of every library that BINARY links
# directly (its NEEDED entries as this system resolves them), whatever this release names it.
depends_on_linked() {
  local file=$1 binary=$2 needed path
  for needed in $(objdump -p "$binary" | awk '$1 == "NEEDED" { print $2 }'); do
    [[ $needed == libvantorpi.so.* ]] && continue
    path=$(ldd "$binary" | awk -v n="$needed" '$1 == n { print $3 }')
    [[ -n $path && -e $path ]] || fail "$binary: $needed is not found on this system"
    field_has "$file" Depends "$(owner "$path")"
  done
}

runtime=$(deb libvantorpi1 "$arch") dev=$(deb libvantorpi-dev "$arch") tools=$(deb vantorpi-tools "$arch")
(
  unset LD_LIBRARY_PATH
  depends_on_linked "$runtime" "$build/libvantorpi.so.1"
  depends_on_linked "$tools" "$build/tools/lscam"
)
field_has "$runtime" Depends libc6
field_has "$tools" Depends "libvantorpi1 (= $release)"
field_has "$dev" Depends "libvantorpi1 (= $release)" libusb-1.0-0-dev qtbase5-dev
dpkg-deb -f "$runtime" Depends | grep -q libpng && fail "libvantorpi1 depends on libpng"

contains "$runtime" 'usr/lib/([a-z0-9_-]+/)?libvantorpi\.so\.1' \
  'usr/lib/udev/rules.d/(60-vantorpi|61-vantorpi-group|70-vantorpi-uaccess)\.rules' \
  'usr/share/metainfo/invalid\.vantorpi\.libvantorpi1\.metainfo\.xml'
contains "$dev" 'usr/include/vantorpi\.h' 'usr/lib/([a-z0-9_-]+/)?libvantorpi\.so' \
  'usr/lib/([a-z0-9_-]+/)?pkgconfig/vantorpi\.pc' 'usr/lib/([a-z0-9_-]+/)?cmake/vantorpi/vantorpiConfig\.cmake' \
  'usr/share/man/man3/vantorpi\.3\.gz'
contains "$tools" 'usr/bin/lscam' 'usr/share/man/man1/lscam\.1\.gz'
if [[ " ${packages[*]} " == *" python3-vantorpi "* ]]; then
  field_has "$(deb python3-vantorpi all)" Depends "libvantorpi1 (= $release)" python3
  contains "$(deb python3-vantorpi all)" 'usr/lib/python3/dist-packages/vantorpi/__init__\.py'
fi

if [[ " ${packages[*]} " == *" gstreamer1.0-vantorpi "* ]]; then
  gst=$(deb gstreamer1.0-vantorpi "$arch")
  field_has "$gst" Depends "libvantorpi1 (= $release)" libgstreamer1.0-0 libgstreamer-plugins-base1.0-0
  # The plugin lies where the system's GStreamer looks for plugins.
  pluginsdir=$(pkg-config --variable=pluginsdir gstreamer-1.0)
  contains "$gst" "${pluginsdir#/}/libgstvantorpi\.so"
fi

# Every package carries the licence where Debian looks for it.
for f in "$work/out"/*.deb; do
  contains "$f" "usr/share/doc/$(field "$f" Package)/copyright"
  dpkg-deb --fsys-tarfile "$f" | tar -xO "./usr/share/doc/$(field "$f" Package)/copyright" |
    grep -qx 'License: Expat' || fail "$(basename "$f"): the copyright file names no Expat (MIT) licence"
done

# dpkg refuses to install two packages that ship the same file.
shared=$(for f in "$work/out"/*.deb; do dpkg-deb -c "$f" | awk '$1 !~ /^d/ {print $6}'; done | sort | uniq -d)
[[ -z $shared ]] || fail "files in more than one package: $shared"

# The maintainer scripts: udev applies the rules to a camera plugged in before; ldconfig runs.
dpkg-deb -e "$runtime" "$work/control"
vid=$(sed -n 's/.*ATTR{idVendor}=="\([0-9a-f]*\)".*/\1/p' <(dpkg-deb --fsys-tarfile "$runtime" |
  tar -xO ./usr/lib/udev/rules.d/60-vantorpi.rules))
[[ -n $vid ]] || fail "60-vantorpi.rules names no vendor ID"
grep -q "udevadm control --reload-rules" "$work/control/postinst" &&
  grep -q "udevadm trigger --subsystem-match=usb --attr-match=idVendor=$vid" "$work/control/postinst" ||
  fail "postinst does not reload the rules and trigger the camera"
sh -n "$work/control/postinst" && sh -n "$work/control/postrm" || fail "a maintainer script is not valid sh"
grep -qx "activate-noawait ldconfig" "$work/control/triggers" || fail "no ldconfig trigger"
grep -q "^libvantorpi 1 libvantorpi1 " "$work/control/shlibs" || fail "no shlibs entry for libvantorpi.so.1"

# Unpacked into a throw-away root, lscam runs on the unpacked library against the simulator.
root=$work/root
for f in "$work/out"/*.deb; do dpkg-deb -x "$f" "$root"; done
lib=$(find "$root/usr/lib" -name libvantorpi.so.1 -print -quit)
export LD_LIBRARY_PATH=$sim:$(dirname "$lib")
loaded=$(ldd "$root/usr/bin/lscam" | awk '$1 == "libvantorpi.so.1" { print $3 }')
[[ $loaded == "$lib" ]] || fail "the unpacked lscam loads libvantorpi.so.1 from '$loaded'"
"$root/usr/bin/lscam" --version | grep -qx "lscam, library version .*" || fail "lscam --version"
listed=$("$root/usr/bin/lscam" list) || fail "lscam list failed"
grep -q "^0 *SIM0001 " <<<"$listed" || fail "lscam list shows no simulated camera:"$'\n'"$listed"
# The unpacked udev rules are what doctor looks for: written for the IDs lscam was built with.
doctor=$(LSCAM_SYSROOT=$root "$root/usr/bin/lscam" doctor --json || true)
grep -q '"check": "rules"' <<<"$doctor" || fail "lscam doctor shows no rules check:"$'\n'"$doctor"
tr -d '\n' <<<"$doctor" | grep -qE '\{ *"check": "rules", *"message": "udev rules for [^"]*", *"verdict": "ok"' ||
  fail "lscam doctor does not accept the packaged udev rules:"$'\n'"$doctor"

# gst-inspect-1.0 finds the unpacked plugin, loaded with the unpacked library.
if [[ -n ${gst-} ]]; then
  plugin=$root$pluginsdir/libgstvantorpi.so
  loaded=$(ldd "$plugin" | awk '$1 == "libvantorpi.so.1" { print $3 }')
  [[ $loaded == "$lib" ]] || fail "the unpacked plugin loads libvantorpi.so.1 from '$loaded'"
  inspect=$(GST_PLUGIN_SYSTEM_PATH=$work/none GST_PLUGIN_PATH=$root$pluginsdir GST_REGISTRY=$work/registry.bin gst-inspect-1.0 vantorpisrc 2>&1) ||
    fail "gst-inspect-1.0 does not find vantorpisrc in the unpacked package:"$'\n'"$inspect"
  grep -qE "^ *Filename +$plugin\$" <<<"$inspect" || fail "gst-inspect-1.0 loaded another plugin:"$'\n'"$inspect"
  grep -qE '^ *lines-per-frame +: ' <<<"$inspect" || fail "gst-inspect-1.0 lists no lines-per-frame"
  echo "gst-inspect-1.0: vantorpisrc from $plugin"
fi

if command -v lintian >/dev/null; then
  # Left to a decision beyond the build: an upload's bug.
  suppress=initial-upload-closes-no-bugs
  # The AppStream data lacks a homepage when the build names none (VANTORPI_HOMEPAGE); it must
  # have no other fault, which appstreamcli tells where lintian would only say that it failed.
  if ! grep -q 'Homepage' <(dpkg-deb -f "$runtime") &&
    lintian-explain-tags appstream-metadata-validation-failed >/dev/null 2>&1; then
    suppress+=,appstream-metadata-validation-failed
    if command -v appstreamcli >/dev/null; then
      dpkg-deb -x "$runtime" "$work/appstream"
      faults=$(appstreamcli validate-tree --no-net "$work/appstream" 2>&1 |
        grep -E '^ *[EW]: ' | grep -v ': url-homepage-missing$' || true)
      [[ -z $faults ]] || fail "the AppStream data has faults:"$'\n'"$faults"
    fi
  fi
  lint=$(lintian --suppress-tags "$suppress" --fail-on error,warning \
    "$work/out"/*.deb 2>&1) || { printf '%s\n' "$lint"; fail "lintian finds errors or warnings"; }
  echo "lintian: no errors or warnings"
else
  echo "lintian: not installed, not run"
fi
echo "deb test: passed (${packages[*]})"
