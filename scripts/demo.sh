#!/usr/bin/env bash
# Sets up everything on a fresh Debian 12 machine and runs the demo.
# Arguments go to `tavikuser demo` (for example a connection string).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/build.sh" --target tavikuser_cli
"$root/build/cli/tavikuser" demo "$@"
