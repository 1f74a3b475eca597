#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs, only those that are missing.
# Runs as root (CI) or through sudo when available.
set -euo pipefail

packages=(cmake ninja-build g++ make pkg-config ccache
          libpcre3-dev libpcap-dev liburing-dev zlib1g-dev libzstd-dev libtomlplusplus-dev
          libgtest-dev libgmock-dev libbenchmark-dev
          clang clang-tidy libclang-rt-dev tshark wireshark-common locales
          iproute2 scdoc man-db dpkg-dev)
# Extra packages for optional jobs: scripts/install-deps.sh hyperfine valgrind ...
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: need root to install: ${missing[*]}" >&2; exit 1; }
  SUDO=sudo
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; answer no without a prompt.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
