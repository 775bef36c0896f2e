#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang with coverage probes,
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each for a fixed
# time from its seed corpus. FUZZ_SECONDS sets the time per target (30);
# names given as arguments pick targets. New inputs go to build/fuzz/corpus,
# never into the repository's seeds; a crash leaves its input in
# build/fuzz/findings and fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-30}"
targets=("$@")
((${#targets[@]})) || targets=(intersect set_data_format property registry config_descriptor intel_hex pe_image)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/%/_fuzz}"
mkdir -p build/fuzz/findings
# Allocations a hostile size asks for fail as they would in the kernel,
# rather than ending the run.
export ASAN_OPTIONS="allocator_may_return_null=1:${ASAN_OPTIONS:-}"
status=0
for target in "${targets[@]}"; do
  work="build/fuzz/corpus/$target"
  mkdir -p "$work"
  seeds="tests/fuzz/corpus/$target"
  [ "$target" = pe_image ] && seeds="build/default/tests/fixtures"
  [ -d "$seeds" ] || seeds=""
  echo "== fuzzing $target for ${seconds}s"
  log="build/fuzz/$target.log"
  if ! "build/fuzz/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -rss_limit_mb=4096 -malloc_limit_mb=2048 \
       -artifact_prefix="build/fuzz/findings/${target}-" -print_final_stats=1 "$work" $seeds >"$log" 2>&1; then
    echo "$target: a finding (inputs in build/fuzz/findings, log in $log)"
    tail -n 40 "$log"
    status=1
  fi
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "$log" | sed "s/^/  $target /" || true
done
exit $status
