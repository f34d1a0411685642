#!/usr/bin/env bash
# The benchmark in one command: builds the library and tavikuser_bench in
# build-bench/ (RelWithDebInfo, as the library is built for hosts), runs it
# (about 10 minutes; it starts and stops its own PostgreSQL and MariaDB
# servers), and draws docs/performance.png from its figures. Arguments go to
# tavikuser_bench: --quick tries it in seconds, and then the plot goes
# to build-bench/ instead. Run as root on Debian 12, like scripts/test.sh.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-bench"
"$root/scripts/install-deps.sh"
# The plot: Debian's matplotlib, for the system's own Python.
if ! dpkg -s python3-matplotlib >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-matplotlib \
    >/dev/null
fi

generator=()
[[ -f "$build/CMakeCache.txt" ]] || generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVIK_BUILD_TESTS=OFF -DTAVIK_BUILD_BENCH=ON \
  >/dev/null
cmake --build "$build" --target tavikuser_bench

plot="$root/docs/performance.png"
(($# == 0)) || plot="$build/performance.png"
"$build/bench/tavikuser_bench" --csv "$build/bench-results.csv" "$@" |
  tee "$build/bench-results.txt"
/usr/bin/python3 "$root/bench/plot.py" "$build/bench-results.csv" "$plot"
echo "plot written to $plot"
