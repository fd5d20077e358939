#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the pipelines of the GStreamer page (docs/gstreamer.md) as written there against the simulated
# camera. The lines are taken from the page, so that they cannot drift; a run only bounds them
# (num-buffers), swaps autovideosink for fakesink (no display) and puts the network on 127.0.0.1.
#
# pipelines-test.sh CASE PAGE BUILD_DIR SIM_DIR STREAMCHECK     CASE: view | record | network | python
set -euo pipefail

case=$1 page=$2 build=$3 sim=$4 streamcheck=$5
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in ${pids[@]+"${pids[@]}"}; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
fail() { printf 'pipelines %s: %s\n' "$case" "$*" >&2; exit 1; }

unset SIMCAM_CAMERAS SIMCAM_RATE SIMCAM_SENSOR SIMCAM_LINE_WIDTH SIMCAM_OPEN_ERROR SIMCAM_CLAIM_ERROR DISPLAY \
  WAYLAND_DISPLAY
export GST_PLUGIN_PATH=$build/gst LD_LIBRARY_PATH=$sim GST_REGISTRY=$build/gst/tests/registry-$case.bin
line=4096  # the simulated camera's bytes per line

# The page's gst-launch-1.0 lines in order and its Python example.
section=$(cat "$page")
mapfile -t launches < <(grep '^gst-launch-1.0 ' <<<"$section")
((${#launches[@]} == 5)) || fail "expected 5 gst-launch-1.0 lines on the GStreamer page, found ${#launches[@]}"
python=$(awk '/^```python$/ {on = 1; next} on && /^```$/ {exit} on' <<<"$section")
[[ -n $python ]] || fail "no Python example on the GStreamer page"

bounded() { sed "s/vantorpisrc /vantorpisrc num-buffers=$2 /" <<<"$1"; }
headless() { sed 's/autovideosink/fakesink/g' <<<"$1"; }
# run NAME COMMAND-LINE: runs a pipeline in $work with a time limit, its output in $work/NAME.log.
run() {
  (cd "$work" && eval "timeout 60 $2") >"$work/$1.log" 2>&1 || { cat "$work/$1.log"; fail "$1 failed: $2"; }
}

case $case in
  view)
    run view "$(headless "$(bounded "${launches[0]/gst-launch-1.0/gst-launch-1.0 -v}" 20)")"
    grep -q 'vantorpisrc0.GstPad:src: caps = video/x-raw.*format=(string)GRAY8' "$work/view.log" ||
      fail "the view does not get GRAY8: $(grep 'vantorpisrc0.GstPad:src: caps' "$work/view.log")"
    grep -q 'Got EOS from element' "$work/view.log" || fail "the view did not end with EOS"
    ;;
  record)
    run record "$(bounded "${launches[1]}" 10)"
    "$streamcheck" "$work/lines.raw" $line | grep -qx "5120 packets from 0" || fail "lines.raw is not 10 frames of lines"
    run readback "${launches[2]}"
    pngs=("$work"/frame*.png)
    ((${#pngs[@]} == 10)) || fail "${#pngs[@]} PNG images, not 10"
    # The images decoded again are the recording, byte for byte.
    decode="multifilesrc location=frame%05d.png caps=image/png ! pngdec ! videoconvert"
    run decode "gst-launch-1.0 $decode ! video/x-raw,format=GRAY16_LE ! filesink location=decoded.raw"
    cmp "$work/lines.raw" "$work/decoded.raw" || fail "the PNG images do not hold the recorded values"
    ;;
  network)
    port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    server=$(bounded "${launches[3]}" 100)
    server=${server/host=0.0.0.0/host=127.0.0.1}
    client=${launches[4]/host=board.local/host=127.0.0.1}
    (cd "$work" && exec timeout 60 ${server/port=5000/port=$port}) >"$work/server.log" 2>&1 &
    pids+=($!)
    # The client connects as soon as the server listens.
    deadline=$((SECONDS + 30))
    until (cd "$work" && timeout 60 ${client/port=5000/port=$port}) >"$work/client.log" 2>&1; do
      ((SECONDS < deadline)) && kill -0 "${pids[0]}" 2>/dev/null || { cat "$work/client.log" "$work/server.log"; fail "the client could not receive"; }
      sleep 0.1
    done
    wait "${pids[0]}" || { cat "$work/server.log"; fail "the server failed"; }
    pids=()
    got=$("$streamcheck" "$work/remote.raw" $line --from-any) || fail "remote.raw is not the camera's lines"
    packets=${got%% *}
    ((packets >= 512 && packets % 512 == 0)) || fail "remote.raw holds $got: not whole frames of 512 lines"
    echo "received over 127.0.0.1:$port: $got"
    ;;
  python)
    printf '%s\n' "$python" >"$work/example.py"
    (cd "$work" && timeout 60 /usr/bin/python3 example.py) >"$work/python.log" 2>&1 || { cat "$work/python.log"; fail "the example failed"; }
    frames=$(grep -cE '^\(64, 2048\) [0-9.]+$' "$work/python.log" || true)
    ((frames == 10)) || { cat "$work/python.log"; fail "$frames frames of 64 x 2048, not 10"; }
    ;;
  *) fail "unknown case" ;;
esac
echo "pipelines $case: passed"
