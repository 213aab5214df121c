#!/usr/bin/env bash
# Runs every test: native unit tests (plain and under the sanitizers), the
# library tests and end-to-end runs under wine64, and the static checks of
# the 32-bit deliverables, and the library tests and fuzz replays built as
# 32-bit Linux code (run under qemu-i386).
source "$(dirname "$0")/scripts/common.sh"

started=$SECONDS
install_missing
configure_all
# A payload that an interrupted ./dist.sh FILE left behind is not tested.
use_screen_saver ""
build native asan x86_64 i686 i386

status=0
for name in native asan x86_64 i686 i386; do
  log "testing $name"
  (cd "$BUILD/$name" && ctest --output-on-failure -j"$(nproc)") || status=1
done
log "done in $((SECONDS - started)) s"
exit $status
