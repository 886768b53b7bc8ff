#!/usr/bin/env bash
# Installs the Debian packages that building and testing Purgix needs.
# Idempotent: asks apt only for what is missing, and updates the package lists only then.
set -euo pipefail

packages=(
  # build
  cmake ninja-build g++ pkg-config make clang-format
  # libraries
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-tools-dev qt6-l10n-tools
  libpugixml-dev libssl-dev libblkid-dev libmount-dev libudev-dev libburn-dev
  nlohmann-json3-dev openssl
  # integration tests: file systems, partition tools, attributes, trash
  util-linux dosfstools ntfs-3g fusefat exfatprogs exfat-fuse fdisk e2fsprogs xfsprogs
  btrfs-progs attr trash-cli
)

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps.sh: root is required to install packages" >&2
  exit 1
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps.sh: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
