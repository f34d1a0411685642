#!/usr/bin/env bash
# Sets up everything on a fresh Debian 12 machine, builds and runs every test
# in four stages:
#   plain    build/: the C++ suite on SQLite and on the PostgreSQL servers
#            that it starts itself, the C and Python tests, the command's
#            test; the benchmark is built too, so that it keeps building;
#   asan     build-asan/: the same, built with AddressSanitizer and
#            UndefinedBehaviorSanitizer;
#   tsan     build-tsan/: the C++ suite built with ThreadSanitizer;
#   release  build-release/: every target as a packager builds it (Release).
# Arguments name the stages to run (default: all four, in that order). A
# warning fails the first three; a sanitizer's first finding fails its stage.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
stages=("$@")
((${#stages[@]})) || stages=(plain asan tsan release)

# Configures the folder $1 (Ninja) with the build type $2 and the options
# that follow. The suite's own builds treat warnings as errors.
configure() {
  local build="$root/$1" type="$2" generator=()
  shift 2
  [[ -f "$build/CMakeCache.txt" ]] || generator=(-G Ninja)
  cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE="$type" \
    "$@" >/dev/null
}

"$root/scripts/install-deps.sh"
export UBSAN_OPTIONS=print_stacktrace=1
for stage in "${stages[@]}"; do
  echo "== $stage"
  started=$SECONDS
  case "$stage" in
    plain)
      configure build RelWithDebInfo -DTAVIK_WERROR=ON -DTAVIK_BUILD_BENCH=ON \
        -DTAVIK_SANITIZE=
      cmake --build "$root/build"
      ctest --test-dir "$root/build" --output-on-failure
      ;;
    asan)
      configure build-asan RelWithDebInfo -DTAVIK_WERROR=ON \
        -DTAVIK_SANITIZE=address,undefined
      cmake --build "$root/build-asan"
      ctest --test-dir "$root/build-asan" --output-on-failure
      ;;
    tsan)
      configure build-tsan RelWithDebInfo -DTAVIK_WERROR=ON \
        -DTAVIK_SANITIZE=thread
      cmake --build "$root/build-tsan" --target tavikuser_tests
      # A finding in a child process must end it, or its exit status hides it.
      TSAN_OPTIONS=halt_on_error=1 "$root/build-tsan/tests/tavikuser_tests" \
        --gtest_brief=1
      ;;
    release)
      # What a packager types first: every target, optimised, warnings shown
      # but not fatal (GCC 12 warns falsely inside the standard library at
      # -O3), so that it keeps building.
      configure build-release Release -DTAVIK_BUILD_BENCH=ON
      cmake --build "$root/build-release"
      ;;
    *)
      echo "test.sh: unknown stage '$stage' (plain, asan, tsan, release)" >&2
      exit 2
      ;;
  esac
  echo "== $stage passed in $((SECONDS - started))s"
done
