#!/usr/bin/env bash
# Runs every test: native unit tests (plain and under the sanitizers); the
# library tests under the root's wine64; the static checks of the 32-bit
# deliverables, their library tests and every end-to-end test of the signed
# 32-bit files under 32-bit Wine, in a win32 and a win64 (WoW64) prefix; the
# library tests and fuzz replays built as 32-bit Linux code, under qemu-i386
# and natively where the kernel allows. Every Wine is the root's
# (scripts/wine32.sh). Where 32-bit Windows code cannot run, one line says
# why and the x86_64 programs run end to end instead; where the root cannot
# be made, one line says why and no Windows program runs.
source "$(dirname "$0")/scripts/common.sh"

started=$SECONDS
install_missing
# The root, when it has to be made, is made while the Linux builds run.
start_wine
configure_all
build native asan i386
finish_wine
configure_all
# A payload that an interrupted ./dist.sh FILE left behind is not tested.
use_screen_saver ""
use_wine
build x86_64 i686
builds=(native asan x86_64 i686 i386)
if [ -n "$WINE32" ]; then
  build i686-tests
  builds+=(i686-tests)
fi

# run_ctest NAME [LABEL]: the tests of build/NAME, with the time they took.
# The Windows builds' tests mostly wait on Wine (its start, holds, the
# batch's pauses): four per processor keep the processors busy.
status=0
run_ctest() {
  local name=$1 label=${2:-$1} begun=$SECONDS jobs
  jobs=$(nproc)
  case $name in x86_64|i686|i686-tests) jobs=$((4 * jobs)) ;; esac
  log "testing $label"
  (cd "$BUILD/$name" && ctest --output-on-failure -j"$jobs") || status=1
  log "$label: $((SECONDS - begun)) s"
}
for name in "${builds[@]}"; do
  if [ "$name" = i386 ]; then
    # Both ways of running 32-bit Linux code, each where it can run: a fault
    # of either then shows on any machine that has it.
    KOBARU_I386_RUN=qemu run_ctest i386 "i386 (qemu-i386)"
    if "$I386_LOADER" --help >/dev/null 2>&1; then
      KOBARU_I386_RUN=native run_ctest i386 "i386 (native)"
    else
      echo "i386 tests not run natively: the kernel does not execute 32-bit x86 code"
    fi
  else
    run_ctest "$name"
  fi
done
log "done in $((SECONDS - started)) s"
exit $status
