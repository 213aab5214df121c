#!/usr/bin/env bash
# Builds the product into dist/ and runs it end to end under Wine.
#   ./dist.sh [SCREEN_SAVER]   (or KOBARU_SCREEN_SAVER=...): the screen saver
#   to package; without one, the sample screen saver built from sample_scr/.
source "$(dirname "$0")/scripts/common.sh"

payload=${1:-${KOBARU_SCREEN_SAVER:-}}
if [ -n "$payload" ]; then
  [ -f "$payload" ] || { echo "dist.sh: no such screen saver: $payload" >&2; exit 1; }
  payload=$(realpath "$payload")
fi

install_missing
configure_all
for name in i686 x86_64; do
  cmake "$BUILD/$name" -DKOBARU_SCREEN_SAVER="$payload" >/dev/null
done
log "building the pack tool"
cmake --build "$BUILD/native" --target kobaru-pack -- --quiet
build i686 x86_64

DIST=$ROOT/dist
PACK=$BUILD/native/tools/pack/kobaru-pack
rm -rf "$DIST"
mkdir -p "$DIST"
cp "$BUILD/i686/packaged/"*.exe "$BUILD/i686/cleaner/Kobaru_ScreenSaver_Cleaner_RA.exe" "$DIST/"
log "dist/ (32-bit deliverables)"
ls -l "$DIST"
for exe in "$DIST"/Inst_Kobaru_ScreenSaver_RA.exe "$DIST"/Kobaru_ScreenSaver_Cleaner.exe; do
  [ -f "$exe" ] || continue
  log "contents of $(basename "$exe") (offset, size, container, entry)"
  "$PACK" list "$exe"
  "$PACK" verify "$exe"
done

log "running the packaged x86_64 build under Wine"
screen_saver=${payload:-$BUILD/x86_64/sample_scr/Kobaru_Senryu_2014.scr}
/usr/bin/python3 "$ROOT/scripts/demo.py" "$BUILD/x86_64" "$screen_saver"
