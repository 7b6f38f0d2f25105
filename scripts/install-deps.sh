#!/usr/bin/env bash
# Installs the Debian packages the build needs; skips what is already there.
#   scripts/install-deps.sh            what `make build` and `make test` need (chromium: the monitor's page test;
#                                      python3: the layer check, scripts/check-layers.py)
#   scripts/install-deps.sh windows    and the mingw-w64 cross compiler and Wine (`make test-windows`)
#   scripts/install-deps.sh fuzz       and Clang with its fuzzer and sanitizer runtimes (`make fuzz`)
#   scripts/install-deps.sh format     and clang-format 14 (`make format`; one version, so the format does not drift)
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config ccache
  libboost-dev libboost-filesystem-dev libboost-system-dev
  libutfcpp-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libopenimageio-dev openimageio-tools
  nlohmann-json3-dev libcli11-dev
  slurm-wlm munge
  chromium
  python3
)
for group in "$@"; do
  case "$group" in
    windows) packages+=(g++-mingw-w64-x86-64-posix googletest wine wine64) ;;
    fuzz) packages+=(clang-14 libclang-rt-14-dev) ;;
    format) packages+=(clang-format-14) ;;
    *) echo "install-deps.sh: unknown group '$group' (windows, fuzz, format)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
