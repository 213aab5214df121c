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
# DLL. Without one, the sample screen saver built from sample_scr/. The
# argument wins over KOBARU_SCREEN_SAVER. Relative names are taken from the
# folder this is run in.
# Signing: KOBARU_SIGN_PFX, KOBARU_SIGN_PASSWORD_FILE and optionally
# KOBARU_SIGN_TIMESTAMP_URL name the publisher's certificate, checked before
# anything is built; without them the files are signed with a throwaway
# test certificate (see README.md).
# dist/ is replaced only by a run that succeeded, round trip included; a
# failed run leaves no dist/, the last good one as dist.previous/.
source "$(dirname "$0")/scripts/common.sh"

# The comment above, as the usage text.
usage() { sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; }

# absolute_names VARIABLE...: makes each set variable's relative file name
# absolute against the current folder, and exports it.
absolute_names() {
  local name
  for name in "$@"; do
    case ${!name:-} in
      ""|/*) ;;
      *) printf -v "$name" '%s/%s' "$PWD" "${!name}"; export "${name?}" ;;
    esac
  done
}

# dist/ holds only the result of a run that succeeded. While a run goes on,
# and after one that failed, the last good result is dist.previous/ and
# there is no dist/ (not even after a crash or a kill -9).
STAGE=$BUILD/dist.staging
step="" failure=""
dist_set_aside() {
  rm -rf "$STAGE"
  if [ -d "$ROOT/dist" ]; then
    rm -rf "$ROOT/dist.previous"
    mv "$ROOT/dist" "$ROOT/dist.previous"
  fi
}
dist_replace() {
  mv "$STAGE" "$ROOT/dist"
  rm -rf "$ROOT/dist.previous"
}
# dist_failed STATUS (the EXIT trap): puts the screen saver back and, after
# a failure, ends with one line: why, and what is left of dist/.
dist_failed() {
  local status=$1 left
  trap - EXIT
  [ -z "$payload" ] || use_screen_saver "" || true
  [ "$status" -ne 0 ] || exit 0
  rm -rf "$STAGE"
  if [ -d "$ROOT/dist.previous" ]; then
    left="no dist/ (the last good result stays only in dist.previous/)"
  else
    left="no dist/ (and no earlier result)"
  fi
  if [ "$status" -eq 130 ]; then
    failure="dist.sh: interrupted during ${step:-the run}"
  fi
  echo "${failure:-dist.sh: ${step:-the run} failed}; $left" >&2
  exit "$status"
}

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
# The builds run sign.sh in their own folders: the certificate's names are
# made absolute here, against the caller's folder, and the certificate is
# checked before anything is built.
absolute_names KOBARU_SIGN_PFX KOBARU_SIGN_PASSWORD_FILE
"$ROOT/scripts/sign.sh" check || exit 1
prepare_wine

# From here on, a run that fails leaves no dist/ that could be taken for its
# result (dist_set_aside, dist_failed below).
dist_set_aside
trap 'dist_failed $?' EXIT
trap 'exit 130' INT TERM
step="configuring the builds"
configure_all
# The payload serves this run only: whatever ends the run, the builds go
# back to the sample, so no later build packages a file given here.
use_screen_saver "$payload"
use_wine
step="building the pack tool"
log "building the pack tool"
cmake --build "$BUILD/native" --target kobaru-pack -- --quiet
# A failed signing step is shown amid the build tool's output, with its
# command line: its one line from sign.sh is repeated last, where it is seen.
build_log=$BUILD/dist-build.log
step="the build"
set +e
(set -e; build i686 x86_64) 2>&1 | tee "$build_log"
built=${PIPESTATUS[0]}
set -e
if [ "$built" -ne 0 ]; then
  log "the build failed (its whole output is kept in ${build_log#"$ROOT"/})"
  reasons=$(grep -a '^sign\.sh: ' "$build_log" | awk '!seen[$0]++') || true
  if [ -n "$reasons" ]; then
    sed '$d' <<<"$reasons" >&2
    failure=$(tail -n 1 <<<"$reasons")
  fi
  exit "$built"
fi

# The result is put together in a staging folder, and becomes dist/ only
# when everything below has succeeded.
DIST=$STAGE
INSIDE=$DIST/inside-the-installer
PACK=$BUILD/native/tools/pack/kobaru-pack
SIGNING=$BUILD/i686/signing/state
step="putting the result together"
rm -rf "$DIST"
mkdir -p "$INSIDE"
cp "$BUILD/i686/packaged/Inst_Kobaru_ScreenSaver_RA.exe" "$DIST/"
# Under their entry names: the uninstaller is installed as
# "Kobaru_ScreenSaver_2014_Cleaner.exe".
cp "$BUILD/i686/packaged/Kobaru_ScreenSaver_Cleaner.exe" "$INSIDE/Kobaru_ScreenSaver_2014_Cleaner.exe"
cp "$BUILD/i686/packaged/Kobaru_ScreenSaver_Cleaner_RA.exe" "$INSIDE/"
cp "$BUILD/i686/packaged/Kobaru_Senryu_2014.scr" "$INSIDE/"
step="checking the packaged files"
for exe in "$DIST/Inst_Kobaru_ScreenSaver_RA.exe" "$INSIDE/Kobaru_ScreenSaver_2014_Cleaner.exe"; do
  log "contents of ${exe#"$ROOT"/} (offset, size, container, entry)"
  "$PACK" list "$exe"
  "$PACK" verify "$exe"
done

step="the round trip under Wine"
if [ -n "$WINE32" ]; then
  log "running dist/ under 32-bit Wine on a 64-bit Windows (WoW64)"
  KOBARU_WINE_FS=$WINE32 KOBARU_WINEARCH=win64 KOBARU_PROGRAM_BITS=32 KOBARU_ROOT_BINDS=$ROOT \
    /usr/bin/python3 "$ROOT/scripts/demo.py" "$DIST/Inst_Kobaru_ScreenSaver_RA.exe" \
    "$INSIDE/Kobaru_ScreenSaver_2014_Cleaner.exe" "$BUILD/i686/wine-win64" \
    "$BUILD/i686/packaged/Kobaru_Senryu_2014.scr"
elif [ -n "$WINE_ROOT" ]; then
  log "running the packaged x86_64 build under Wine, standing in for dist/"
  KOBARU_WINE_FS=$WINE_ROOT KOBARU_ROOT_BINDS=$ROOT \
    /usr/bin/python3 "$ROOT/scripts/demo.py" "$BUILD/x86_64/packaged/Inst_Kobaru_ScreenSaver_RA.exe" \
    "$BUILD/x86_64/packaged/Kobaru_ScreenSaver_Cleaner.exe" "$BUILD/x86_64/wine" \
    "$BUILD/x86_64/packaged/Kobaru_Senryu_2014.scr"
else
  log "no round trip under Wine: see the line above"
fi

# Why osslsigncode verify failed, from its output.
verify_problem() {
  if grep -q 'MISMATCH' <<<"$1"; then
    echo "the file changed after it was signed (its digest differs)"
  else
    echo "osslsigncode says \"$(grep -m1 -i 'error\|expired\|purpose\|unable\|failed' <<<"$1")\""
  fi
}

# One summary: what was built, how it is signed, what to ship.
step="checking the signatures"
signer=$(sed -n 's/^subject=//p' "$SIGNING")
timestamp_url=$(sed -n 's/^timestamp_url=//p' "$SIGNING")
if grep -qx 'state=test' "$SIGNING"; then
  signature="test-signed (throwaway certificate, not trusted by Windows)"
elif [ -n "$timestamp_url" ]; then
  signature="signed by $signer, timestamped"
else
  signature="signed by $signer, no timestamp"
fi
# The screen saver as given: signed here, or its own signature kept.
screen_saver_source=${payload:-$BUILD/i686/sample_scr/Kobaru_Senryu_2014.scr}
log "summary"
for exe in "$DIST/Inst_Kobaru_ScreenSaver_RA.exe" "$INSIDE/Kobaru_ScreenSaver_2014_Cleaner.exe" \
           "$INSIDE/Kobaru_ScreenSaver_Cleaner_RA.exe" "$INSIDE/Kobaru_Senryu_2014.scr"; do
  state=$signature
  if [ "${exe##*/}" = Kobaru_Senryu_2014.scr ] && "$ROOT/scripts/sign.sh" signed "$screen_saver_source"; then
    state="came signed: its own signature kept as it was"
  elif [ "${exe##*/}" = Kobaru_Senryu_2014.scr ]; then
    state="came unsigned: $signature"
  fi
  if [ "${state#came signed}" = "$state" ] &&
     ! why=$(osslsigncode verify -CAfile "$SIGNING.trust.pem" -in "$exe" 2>&1); then
    state="SIGNATURE DOES NOT VERIFY"
    failure="dist.sh: the signature of dist/${exe#"$DIST"/} does not verify: $(verify_problem "$why")"
  fi
  printf '  %-62s %7d bytes  %s\n' "dist/${exe#"$DIST"/}" "$(stat -c %s "$exe")" "$state"
done
[ -z "$failure" ] || exit 1

dist_replace
echo "  Ship only dist/Inst_Kobaru_ScreenSaver_RA.exe: the uninstaller and the elevated cleaner"
echo "  travel inside it (dist/inside-the-installer/ holds them and the screen saver as packed,"
echo "  under their entry names, for inspection)."
echo "  It installs ${payload:-the sample screen saver} into the system directory under the fixed"
echo "  name \"Kobaru_Senryu_2014.scr\", whatever the file was called."
if grep -qx 'state=test' "$SIGNING"; then
  echo "  TEST-SIGNED: Windows shows \"unknown publisher\". To sign for release, set KOBARU_SIGN_PFX"
  echo "  and KOBARU_SIGN_PASSWORD_FILE (README.md, \"Signing\")."
fi
