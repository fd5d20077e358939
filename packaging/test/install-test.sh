#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a temporary prefix, builds the consumer program against that tree
# through pkg-config and through find_package, and runs both on the simulated bus.
#
# install-test.sh BUILD_DIR SIM_DIR CONSUMER_SRC CC GENERATOR VERSION VERSION_NUMBER [SANITIZER_FLAGS]
set -euo pipefail

build=$1 sim=$2 src=$3 cc=$4 generator=$5 version=$6 version_number=$7 flags=${8:-}
read -r -a flag_words <<<"$flags"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
unset DESTDIR PKG_CONFIG_PATH SIMCAM_CAMERAS SIMCAM_RATE SIMCAM_SENSOR SIMCAM_LINE_WIDTH

fail() { printf 'install test: %s\n' "$*" >&2; exit 1; }
expect_file() { [[ -e $prefix/$1 ]] || fail "not installed: $1"; }

cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
  { cat "$work/install.log"; fail "cmake --install failed"; }

lib=$(find "$prefix" -name libvantorpi.so -print -quit)
[[ -n $lib ]] || fail "libvantorpi.so is not installed"
libdir=$(dirname "$lib")
libdir_rel=${libdir#"$prefix"/}
for f in "$libdir_rel/libvantorpi.so.1" "$libdir_rel/libvantorpi.so.$version" include/vantorpi.h \
  "$libdir_rel/pkgconfig/vantorpi.pc" "$libdir_rel/cmake/vantorpi/vantorpiConfig.cmake" \
  "$libdir_rel/cmake/vantorpi/vantorpiConfigVersion.cmake" "$libdir_rel/cmake/vantorpi/vantorpiTargets.cmake"; do
  expect_file "$f"
done
grep -q "^prefix=$prefix\$" "$libdir/pkgconfig/vantorpi.pc" ||
  fail "vantorpi.pc does not point into the install prefix"

# Through pkg-config.
export PKG_CONFIG_PATH=$libdir/pkgconfig
[[ $(pkg-config --modversion vantorpi) == "$version" ]] || fail "pkg-config reports $(pkg-config --modversion vantorpi)"
read -r -a pc_flags <<<"$(pkg-config --cflags --libs vantorpi)"
"$cc" -std=c99 -Wall -Wextra -Werror ${flag_words[@]+"${flag_words[@]}"} "$src/consumer.c" \
  -o "$work/consumer-pkgconfig" "${pc_flags[@]}"

# Through find_package.
cmake -S "$src" -B "$work/consumer" -G "$generator" -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$work/configure.log" ||
  { cat "$work/configure.log"; fail "the consumer does not configure with find_package(vantorpi)"; }
grep -q "vantorpi $version found" "$work/configure.log" || { cat "$work/configure.log"; fail "wrong package version"; }
cmake --build "$work/consumer" >"$work/build.log" || { cat "$work/build.log"; fail "the consumer does not build"; }

# Both run against the installed library on the simulated bus.
export LD_LIBRARY_PATH=$sim:$libdir
for consumer in "$work/consumer-pkgconfig" "$work/consumer/consumer"; do
  loaded=$(ldd "$consumer" | awk '$1 == "libvantorpi.so.1" { print $3 }')
  [[ $loaded == "$libdir/libvantorpi.so.1" ]] || fail "$consumer loads libvantorpi.so.1 from '$loaded'"
  for cameras in default 2; do
    if [[ $cameras == default ]]; then
      out=$("$consumer")
      expected=1
    else
      out=$(SIMCAM_CAMERAS=$cameras "$consumer")
      expected=$cameras
    fi
    printf '%s (%s cameras):\n%s\n' "${consumer#"$work"/}" "$cameras" "$out"
    grep -qx "version $version_number" <<<"$out" || fail "expected version $version_number"
    grep -qx "cameras $expected" <<<"$out" || fail "expected $expected cameras"
  done
done
# The Python package, from the prefix on PYTHONPATH, loads the installed library through the
# dynamic loader. A sanitized library cannot be loaded into python3, so those builds skip that.
if grep -qx 'VANTORPI_INSTALL_PYTHON:BOOL=ON' "$build/CMakeCache.txt"; then
  init=$(find "$prefix" -path '*/vantorpi/__init__.py' -print -quit)
  [[ -n $init ]] || fail "the Python package vantorpi is not installed"
  [[ -f $(dirname "$init")/py.typed ]] || fail "vantorpi/py.typed is not installed"
  site=$(dirname "$(dirname "$init")")
  python=$(command -v /usr/bin/python3 || command -v python3 || true)
  if [[ -n $flags ]]; then
    echo "install test: python import skipped in a sanitizer build"
  elif [[ -z $python ]] || ! "$python" -c "import numpy" 2>/dev/null; then
    echo "install test: python import skipped: no python3 with numpy (python3-numpy)"
  else
    out=$(cd "$work" && env -u VANTORPI_LIBRARY PYTHONPATH="$site" "$python" -c '
import vantorpi
print(vantorpi.__file__)
print(next(line.split()[-1] for line in open("/proc/self/maps") if "libvantorpi.so" in line))
print(len(vantorpi.list_cameras()))') || fail "python3 -c 'import vantorpi' fails with $site on PYTHONPATH"
    printf 'python (%s):\n%s\n' "${site#"$prefix"/}" "$out"
    expected=$(printf '%s\n%s\n%s' "$site/vantorpi/__init__.py" "$libdir/libvantorpi.so.$version" 1)
    [[ $out == "$expected" ]] || fail "the installed Python package did not load the installed library"
  fi
fi
echo "install test: passed"
