#!/usr/bin/env bash
# Runs every test: native unit tests (plain and under the sanitizers); the
# library tests under wine64; the static checks of the 32-bit deliverables,
# their library tests and every end-to-end test of the signed 32-bit files
# under 32-bit Wine, in a win32 and a win64 (WoW64) prefix; the library tests
# and fuzz replays built as 32-bit Linux code. Where 32-bit Windows code
# cannot run, one line says why and the x86_64 programs run end to end
# instead.
source "$(dirname "$0")/scripts/common.sh"

started=$SECONDS
install_missing
# The 32-bit root, when it has to be made, is made while the Linux builds run.
start_wine32
configure_all
build native asan i386
finish_wine32
configure_all
# A payload that an interrupted ./dist.sh FILE left behind is not tested.
use_screen_saver ""
use_wine32
build x86_64 i686
builds=(native asan x86_64 i686 i386)
if [ -n "$WINE32" ]; then
  build i686-tests
  builds+=(i686-tests)
fi

status=0
for name in "${builds[@]}"; do
  log "testing $name"
  (cd "$BUILD/$name" && ctest --output-on-failure -j"$(nproc)") || status=1
done
log "done in $((SECONDS - started)) s"
exit $status
