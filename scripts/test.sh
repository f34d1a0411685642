#!/usr/bin/env bash
# Sets up everything on a fresh Debian 12 machine, builds the library, the
# command and the tests, and runs every test: the C++ suite on SQLite and on a
# PostgreSQL server that it starts itself, the C and the Python tests.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh"
ctest --test-dir "$root/build" --output-on-failure
