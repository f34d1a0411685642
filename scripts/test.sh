#!/usr/bin/env bash
# Sets up everything on a fresh Debian 12 machine, builds and runs every test
# in three stages:
#   plain  build/: the C++ suite on SQLite and on a PostgreSQL server that it
#          starts itself, the C and Python tests, the command's test;
#   asan   build-asan/: the same, built with AddressSanitizer and
#          UndefinedBehaviorSanitizer;
#   tsan   build-tsan/: the C++ suite built with ThreadSanitizer.
# Arguments name the stages to run (default: all three, in that order). A
# sanitizer's first finding fails its stage.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
stages=("$@")
((${#stages[@]})) || stages=(plain asan tsan)

# Configures build-<name>/ with the given sanitizers (Ninja, RelWithDebInfo).
configure() {
  local build="$root/build-$1" generator=()
  [[ -f "$build/CMakeCache.txt" ]] || generator=(-G Ninja)
  cmake -S "$root" -B "$build" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVIK_SANITIZE="$2" >/dev/null
}

export UBSAN_OPTIONS=print_stacktrace=1
for stage in "${stages[@]}"; do
  echo "== $stage"
  started=$SECONDS
  case "$stage" in
    plain)
      "$root/scripts/build.sh"
      ctest --test-dir "$root/build" --output-on-failure
      ;;
    asan)
      "$root/scripts/install-deps.sh"
      configure asan address,undefined
      cmake --build "$root/build-asan"
      ctest --test-dir "$root/build-asan" --output-on-failure
      ;;
    tsan)
      "$root/scripts/install-deps.sh"
      configure tsan thread
      cmake --build "$root/build-tsan" --target tavikuser_tests
      # A finding in a child process must end it, or its exit status hides it.
      TSAN_OPTIONS=halt_on_error=1 "$root/build-tsan/tests/tavikuser_tests" \
        --gtest_brief=1
      ;;
    *)
      echo "test.sh: unknown stage '$stage' (plain, asan, tsan)" >&2
      exit 2
      ;;
  esac
  echo "== $stage passed in $((SECONDS - started))s"
done
