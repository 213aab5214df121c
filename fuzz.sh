#!/usr/bin/env bash
# Fuzzes the archive reader: builds the libFuzzer targets with clang in
# build/fuzz and runs each for SECONDS (default 60), one after another, or
# FUZZ_PARALLEL at a time. Usage: ./fuzz.sh [SECONDS] [TARGET...]
# The growing corpus stays in build/fuzz/corpus; a finding is copied to
# fuzz/regressions/<target>/ (replayed by ./test.sh) and the exit code is 1.
source "$(dirname "$0")/scripts/common.sh"

seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(archive exe volume index)
parallel=${FUZZ_PARALLEL:-1}

PACKAGES+=(clang)
install_missing
configure fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DKOBARU_FUZZ=ON -DKOBARU_TESTS=OFF
log "building fuzz"
cmake --build "$BUILD/fuzz" --target fuzz_all -- -j"$(nproc)" --quiet

out=$BUILD/fuzz
rm -rf "$out/seeds"
"$out/fuzz/fuzz_seeds" seeds "$out/seeds"

# Memory or time beyond the reader's bound is a finding: the targets abort on
# it themselves (see fuzz/support.h), and these limits catch the rest.
# The quarantine is kept small so that RSS measures the reader, not ASan.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=32:detect_leaks=1}
flags=(-max_total_time="$seconds" -max_len=65536 -rss_limit_mb=512 -malloc_limit_mb=64 -timeout=5
       -dict="$ROOT/fuzz/pack.dict" -print_final_stats=1)

run_target() {
  local t=$1 corpus=$out/corpus/$1 findings=$out/findings/$1
  mkdir -p "$corpus" "$findings" "$ROOT/fuzz/regressions/$t"
  # Paths are absolute: the targets work in a scratch folder of their own.
  nice -n 10 "$out/fuzz/fuzz_$t" "${flags[@]}" -artifact_prefix="$findings/" \
    "$corpus" "$out/seeds/$t" "$ROOT/fuzz/regressions/$t" >"$out/$t.log" 2>&1
  echo $? >"$out/$t.rc"
}

log "fuzzing ${targets[*]} for $seconds s each, $parallel at a time"
rm -rf "$out/findings"
for t in "${targets[@]}"; do
  while (($(jobs -rp | wc -l) >= parallel)); do wait -n || true; done
  run_target "$t" &
done
wait

status=0
printf '%-8s %10s %12s %8s %8s  %s\n' target exec/s executions cov: ft: result
for t in "${targets[@]}"; do
  logfile=$out/$t.log
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$logfile" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$logfile" | tail -1)
  last=$(grep -E '^#[0-9]+' "$logfile" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  found=("$out/findings/$t"/*)
  result="nothing found"
  if [ -e "${found[0]}" ]; then
    result="FOUND: $(grep -m1 -E '^== finding|^SUMMARY' "$logfile" || echo see "$logfile")"
    for f in "${found[@]}"; do
      # An input kept already (a finding still open) is not kept twice.
      for kept in "$ROOT/fuzz/regressions/$t"/*; do cmp -s "$f" "$kept" && continue 2; done
      cp "$f" "$ROOT/fuzz/regressions/$t/"
    done
    result+=" (kept in fuzz/regressions/$t/$(basename "${found[0]}"))"
    status=1
  elif [ "$(cat "$out/$t.rc")" != 0 ]; then
    result="FAILED (exit $(cat "$out/$t.rc")), see $logfile"
    status=1
  fi
  printf '%-8s %10s %12s %8s %8s  %s\n' "$t" "${rate:-?}" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$result"
done
exit $status
