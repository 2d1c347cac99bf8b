#!/bin/bash
# Shows kelvo2.exe's window on a virtual display (Xvfb) and checks a screenshot taken while the
# registration runs: MidnightBlue (0x191970) over the whole screen, white text near the centre.
# Usage: window-shot.sh <test bin folder> <harness folder> <artefact folder>
set -euo pipefail
bin=$1
harness=$2
artefacts=$3
mkdir -p "$artefacts"
shot="$artefacts/updater-window.png"
markers="$WINEPREFIX/drive_c/corvane-scratch/window"
rm -rf "$markers" "$shot"

display=""
for n in $(seq 71 140); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=$n; break; fi
done
[ -n "$display" ] || { echo "no free display number"; exit 1; }
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 &
xvfb=$!
driver=""
cleanup() {
    [ -n "$driver" ] && kill "$driver" 2>/dev/null || true
    kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

DISPLAY=":$display" "$harness/wine-run" "$bin/updater_window.exe" </dev/null &
driver=$!
for _ in $(seq 900); do
    [ -e "$markers/ready" ] && break
    kill -0 "$driver" 2>/dev/null || break
    sleep 0.1
done
if [ ! -e "$markers/ready" ]; then echo "the window never became ready"; wait "$driver"; exit 1; fi
import -display ":$display" -window root "$shot"
touch "$markers/shot"
status=0
wait "$driver" || status=$?
driver=""
[ "$status" -eq 0 ] || { echo "window driver failed ($status)"; exit 1; }

python3 - "$shot" <<'PY'
import subprocess, sys
shot = sys.argv[1]
ppm = subprocess.run(["convert", shot, "-depth", "8", "ppm:-"], check=True, capture_output=True).stdout
# Binary PPM: "P6\n<w> <h>\n255\n" then RGB bytes.
parts = ppm.split(b"\n", 3)
width, height = map(int, parts[1].split())
data = parts[3]
def px(x, y):
    i = 3 * (y * width + x)
    return tuple(data[i:i + 3])
blue = (0x19, 0x19, 0x70)
# Everywhere outside the middle band the screen is MidnightBlue, edges and corners included.
bad = [(x, y, px(x, y)) for y in range(0, height, 8) for x in range(0, width, 8)
       if not (height * 0.4 <= y <= height * 0.6) and px(x, y) != blue]
bad += [(x, y, px(x, y)) for x, y in [(0, 0), (width - 1, 0), (0, height - 1), (width - 1, height - 1)]
        if px(x, y) != blue]
# White text near the centre: bright pixels in the middle third of the width, middle band.
white = sum(1 for y in range(int(height * 0.45), int(height * 0.55)) for x in range(width // 3, 2 * width // 3)
            if min(px(x, y)) >= 0xF0)
stray = sum(1 for y in range(0, height) for x in range(0, width)
            if min(px(x, y)) >= 0xF0 and not (height * 0.4 <= y <= height * 0.6 and width // 4 <= x <= 3 * width // 4))
print(f"{width}x{height}: {len(bad)} sampled pixels off MidnightBlue, {white} white pixels near the centre, "
      f"{stray} white pixels elsewhere")
ok = width > 0 and not bad and white >= 50 and stray == 0
if bad:
    print("first off-colour samples:", bad[:5])
sys.exit(0 if ok else 1)
PY
echo "screenshot: $shot"
