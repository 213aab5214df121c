#!/usr/bin/env bash
# Builds the product into dist/ and runs it end to end under Wine.
source "$(dirname "$0")/scripts/common.sh"

install_missing
configure_all
build i686 x86_64

DIST=$ROOT/dist
mkdir -p "$DIST"
cp "$BUILD/i686/cleaner/Kobaru_ScreenSaver_Cleaner_RA.exe" "$DIST/"
log "dist/"
ls -l "$DIST"

log "running the x86_64 build under Wine"
/usr/bin/python3 "$ROOT/scripts/demo.py" "$BUILD/x86_64"
