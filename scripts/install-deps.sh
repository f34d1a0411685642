#!/usr/bin/env bash
# Installs everything that building and testing tavikuser needs on Debian 12,
# and any further packages named as arguments (scripts/fuzz.sh asks for
# clang). Run as root. Does nothing when every package is there already.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libsqlite3-dev sqlite3
  unixodbc-dev libsqliteodbc       # the ODBC store, tested through the SQLite driver
  libpq-dev postgresql              # the tests start their own PostgreSQL server
  libmariadb-dev mariadb-server     # ... and their own MariaDB server
  libgtest-dev python3 clang-format
  "$@"
)

missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]} == 0)); then
  exit 0
fi

if ((EUID != 0)); then
  echo "install-deps.sh: missing ${missing[*]}; run this script as root" >&2
  exit 1
fi
echo "Installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
