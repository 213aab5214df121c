#!/usr/bin/env bash
# Builds the product into dist/, signed, and runs the files in dist/ end to
# end under 32-bit Wine on a 64-bit Windows (WoW64); where 32-bit Windows code
# cannot run, the x86_64 build of the same sources, packaged the same way,
# under the same Wine's wine64.
#
#   ./dist.sh [SCREEN_SAVER]    ./dist.sh -h|--help
#
# SCREEN_SAVER (or KOBARU_SCREEN_SAVER=FILE) is the screen saver to package,
# for this run only: a complete 32-bit Windows GUI program (a .scr), not a
# DLL. Without one, the sample screen saver built from sample_scr/.
# Signing: KOBARU_SIGN_PFX, KOBARU_SIGN_PASSWORD_FILE and optionally
# KOBARU_SIGN_TIMESTAMP_URL name the publisher's certificate; without them
# the files are signed with a throwaway test certificate (see README.md).
source "$(dirname "$0")/scripts/common.sh"

# The comment above, as the usage text.
usage() { sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; }

case ${1:-} in
  -h|--help) usage; exit 0 ;;
  --) shift ;;
  -?*) echo "dist.sh: unknown option $1 (a file of that name: ./$1)" >&2; exit 2 ;;
esac
if [ $# -gt 1 ]; then
  echo "dist.sh: one screen saver at most, $# arguments given (./dist.sh --help)" >&2
  exit 2
fi
payload=${KOBARU_SCREEN_SAVER:-} named="KOBARU_SCREEN_SAVER="
if [ $# -eq 1 ]; then
  payload=$1 named=""
  [ -n "$payload" ] || { echo "dist.sh: the screen saver argument is empty" >&2; exit 2; }
fi

# Refuses, in one line, a payload that is not a complete 32-bit Windows GUI
# program. The check needs Python: before anything is installed only when
# it is there already.
payload_checked=""
check_payload() {
  local reason
  reason=$(/usr/bin/python3 "$ROOT/scripts/check_screen_saver.py" "$payload" 2>&1) ||
    { echo "dist.sh: $named$reason" >&2; exit 1; }
  payload_checked=yes
}
[ -z "$payload" ] || [ ! -x /usr/bin/python3 ] || check_payload
install_missing
[ -z "$payload" ] || [ -n "$payload_checked" ] || check_payload
[ -z "$payload" ] || payload=$(realpath "$payload")
prepare_wine

configure_all
# The payload serves this run only: whatever ends the run, the builds go
# back to the sample, so no later build packages a file given here.
if [ -n "$payload" ]; then
  trap 'use_screen_saver ""' EXIT
  trap 'exit 130' INT TERM
fi
use_screen_saver "$payload"
use_wine
log "building the pack tool"
cmake --build "$BUILD/native" --target kobaru-pack -- --quiet
# A failed signing step is shown amid the build tool's output, with its
# command line: its one line from sign.sh is repeated last, where it is seen.
build_log=$BUILD/dist-build.log
set +e
(set -e; build i686 x86_64) 2>&1 | tee "$build_log"
built=${PIPESTATUS[0]}
set -e
if [ "$built" -ne 0 ]; then
  log "the build failed (its whole output is kept in ${build_log#"$ROOT"/})"
  grep -a '^sign\.sh: ' "$build_log" | awk '!seen[$0]++' >&2 || true
  exit "$built"
fi

DIST=$ROOT/dist
INSIDE=$DIST/inside-the-installer
PACK=$BUILD/native/tools/pack/kobaru-pack
SIGNING=$BUILD/i686/signing/state
rm -rf "$DIST"
mkdir -p "$INSIDE"
cp "$BUILD/i686/packaged/Inst_Kobaru_ScreenSaver_RA.exe" "$DIST/"
# Under their entry names: the uninstaller is installed as
# "Kobaru_ScreenSaver_2014_Cleaner.exe".
cp "$BUILD/i686/packaged/Kobaru_ScreenSaver_Cleaner.exe" "$INSIDE/Kobaru_ScreenSaver_2014_Cleaner.exe"
cp "$BUILD/i686/packaged/Kobaru_ScreenSaver_Cleaner_RA.exe" "$INSIDE/"
for exe in "$DIST/Inst_Kobaru_ScreenSaver_RA.exe" "$INSIDE/Kobaru_ScreenSaver_2014_Cleaner.exe"; do
  log "contents of ${exe#"$ROOT"/} (offset, size, container, entry)"
  "$PACK" list "$exe"
  "$PACK" verify "$exe"
done

if [ -n "$WINE32" ]; then
  log "running dist/ under 32-bit Wine on a 64-bit Windows (WoW64)"
  KOBARU_WINE_FS=$WINE32 KOBARU_WINEARCH=win64 KOBARU_PROGRAM_BITS=32 KOBARU_ROOT_BINDS=$ROOT \
    /usr/bin/python3 "$ROOT/scripts/demo.py" "$DIST/Inst_Kobaru_ScreenSaver_RA.exe" \
    "$INSIDE/Kobaru_ScreenSaver_2014_Cleaner.exe" "$BUILD/i686/wine-win64" \
    "${payload:-$BUILD/i686/sample_scr/Kobaru_Senryu_2014.scr}"
elif [ -n "$WINE_ROOT" ]; then
  log "running the packaged x86_64 build under Wine, standing in for dist/"
  KOBARU_WINE_FS=$WINE_ROOT KOBARU_ROOT_BINDS=$ROOT \
    /usr/bin/python3 "$ROOT/scripts/demo.py" "$BUILD/x86_64/packaged/Inst_Kobaru_ScreenSaver_RA.exe" \
    "$BUILD/x86_64/packaged/Kobaru_ScreenSaver_Cleaner.exe" "$BUILD/x86_64/wine" \
    "${payload:-$BUILD/x86_64/sample_scr/Kobaru_Senryu_2014.scr}"
else
  log "no round trip under Wine: see the line above"
fi

# One summary: what was built, how it is signed, what to ship.
signer=$(sed -n 's/^subject=//p' "$SIGNING")
timestamp_url=$(sed -n 's/^timestamp_url=//p' "$SIGNING")
if grep -qx 'state=test' "$SIGNING"; then
  signature="test-signed (throwaway certificate, not trusted by Windows)"
elif [ -n "$timestamp_url" ]; then
  signature="signed by $signer, timestamped"
else
  signature="signed by $signer, no timestamp"
fi
status=0
log "summary"
for exe in "$DIST/Inst_Kobaru_ScreenSaver_RA.exe" "$INSIDE/Kobaru_ScreenSaver_2014_Cleaner.exe" \
           "$INSIDE/Kobaru_ScreenSaver_Cleaner_RA.exe"; do
  state=$signature
  if ! osslsigncode verify -CAfile "$SIGNING.trust.pem" -in "$exe" >/dev/null 2>&1; then
    state="SIGNATURE DOES NOT VERIFY"
    status=1
  fi
  printf '  %-62s %7d bytes  %s\n' "${exe#"$ROOT"/}" "$(stat -c %s "$exe")" "$state"
done
echo "  Ship only dist/Inst_Kobaru_ScreenSaver_RA.exe: the uninstaller and the elevated cleaner"
echo "  travel inside it (dist/inside-the-installer/ holds them as packed, under their entry"
echo "  names, for inspection)."
echo "  It installs ${payload:-the sample screen saver} into the system directory under the fixed"
echo "  name \"Kobaru_Senryu_2014.scr\", whatever the file was called."
if grep -qx 'state=test' "$SIGNING"; then
  echo "  TEST-SIGNED: Windows shows \"unknown publisher\". To sign for release, set KOBARU_SIGN_PFX"
  echo "  and KOBARU_SIGN_PASSWORD_FILE (README.md, \"Signing\")."
fi
exit $status
