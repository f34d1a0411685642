#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/, and runs each for SECONDS
# (default 60) over its corpus in fuzz/corpus/<target>/. Inputs that reach
# code the corpus did not are merged back into it; a finding stops the run
# and is kept as build-fuzz/crash-* (or leak-*, timeout-*).
#
#   scripts/fuzz.sh [SECONDS [TARGET...]]
#
# Targets: connection_string, c_api (default: both).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-60}"
shift || true
targets=("$@")
((${#targets[@]})) || targets=(connection_string c_api)

"$root/scripts/install-deps.sh" clang libclang-rt-14-dev

build="$root/build-fuzz"
generator=()
[[ -f "$build/CMakeCache.txt" ]] || generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTAVIK_SANITIZE=address,undefined -DTAVIK_BUILD_FUZZERS=ON \
  -DTAVIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target "${targets[@]/%/_fuzzer}"

export UBSAN_OPTIONS=print_stacktrace=1
for target in "${targets[@]}"; do
  fuzzer="$build/fuzz/${target}_fuzzer"
  corpus="$root/fuzz/corpus/$target"
  found="$(mktemp -d)"
  mkdir -p "$corpus"
  echo "== $target: ${seconds}s"
  "$fuzzer" -max_total_time="$seconds" -timeout=30 -max_len=512 \
    -artifact_prefix="$build/" -print_final_stats=1 "$found" "$corpus"
  "$fuzzer" -merge=1 -use_counters=0 "$corpus" "$found" 2>&1 | grep -E "MERGE-OUTER: [0-9]+ new files" || true
  rm -rf "$found"
done
