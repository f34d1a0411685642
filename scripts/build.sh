#!/usr/bin/env bash
# Configures and builds tavikuser in build/ (Ninja, RelWithDebInfo), after
# making sure the dependencies are installed. Extra arguments go to the build,
# e.g. `--target tavikuser_cli`; CMAKE_BUILD_PARALLEL_LEVEL limits the jobs.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"

# A build folder keeps the generator it was first configured with.
generator=()
[[ -f "$root/build/CMakeCache.txt" ]] || generator=(-G Ninja)
cmake -S "$root" -B "$root/build" "${generator[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" "$@"
