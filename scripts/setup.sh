#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need.
# Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang llvm libclang-rt-14-dev pkg-config
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64
  g++-i686-linux-gnu
  qemu-user-static wine64 nasm
  googletest libgtest-dev libbenchmark-dev
  libturbojpeg0-dev libjpeg62-turbo-dev libspng-dev libgif-dev zlib1g-dev libz-mingw-w64-dev
  imagemagick python3-pil libjpeg-turbo-progs dpkg-dev procps
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

# Third-party decoders for the cross targets are built from Debian's source packages.
need_src=0
if ! grep -rqs '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
  need_src=1
fi

if (( ${#missing[@]} == 0 && need_src == 0 )); then
  exit 0
fi

SUDO=""
[[ $(id -u) -eq 0 ]] || SUDO="sudo"

if (( need_src )); then
  $SUDO tee /etc/apt/sources.list.d/vek-deb-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
fi

echo "setup: installing ${missing[*]:-(source lists only)}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
if (( ${#missing[@]} )); then
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
