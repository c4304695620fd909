#!/usr/bin/env bash
# Installs the Debian packages the build needs, when they are missing.
# Idempotent: prints nothing and changes nothing when everything is present.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config
  libzstd-dev zstd libssl-dev zlib1g-dev
  nlohmann-json3-dev libfmt-dev libspdlog-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-19 libclang-rt-19-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=sudo
  else
    echo "setup: missing packages: ${missing[*]}" >&2
    echo "setup: run this script as root (or install them with apt-get) and try again" >&2
    exit 1
  fi
else
  SUDO=
fi

echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
