#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need, and unpacks the 32-bit
# wine into a cache folder. Idempotent: when everything is present it only checks and returns.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang llvm libclang-rt-14-dev pkg-config
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64
  g++-i686-linux-gnu
  qemu-user-static wine64 nasm
  googletest libgtest-dev libbenchmark-dev
  libturbojpeg0-dev libjpeg62-turbo-dev libspng-dev libgif-dev libdeflate-dev zlib1g-dev libz-mingw-w64-dev
  liblcms2-dev icc-profiles-free colord-data libgs-common
  imagemagick python3-pil python3-numpy libjpeg-turbo-progs dpkg-dev procps
  libstb-dev libsquish-dev time
  graphicsmagick netpbm libnvtt-bin gimp gifsicle giflib-tools
)

SUDO=""
[[ $(id -u) -eq 0 ]] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
# ag-psd (npm) writes layered test files; any node with npm will do, else Debian's.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)
npm_dir=${VEK_NPM_DIR:-$HOME/.cache/vek-npm}
ag_psd_version=34.2.3
ag_psd_ready() {
  [[ -f $npm_dir/node_modules/ag-psd/package.json ]] &&
    grep -q "\"version\": \"$ag_psd_version\"" "$npm_dir/node_modules/ag-psd/package.json"
}

# The cross targets' decoders are built from Debian's source packages. Their entries are derived
# from the machine's own binary-package entries, so whatever mirror the machine uses serves them.
src_list=/etc/apt/sources.list.d/vek-deb-src.sources
need_src=0
if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  need_src=1
fi

derive_src_entries() {
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  # deb822 stanzas: every Debian stanza (its suites name the release) again, as deb-src.
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [[ -f $f && $f != "$src_list" ]] || continue
    awk -v codename="$codename" '
      function flush() {
        if (stanza != "" && is_deb && (codename == "" || suites ~ ("(^| )" codename "([- ]|$)")) && enabled)
          printf "%s\n", stanza
        stanza = ""; is_deb = 0; suites = ""; enabled = 1
      }
      BEGIN { enabled = 1 }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^Types:/ { if ($0 ~ /(^|[ :])deb( |$)/) is_deb = 1; stanza = stanza "Types: deb-src\n"; next }
      /^Suites:/ { suites = $0; sub(/^Suites:[ \t]*/, "", suites) }
      /^Enabled:[ \t]*no/ { enabled = 0 }
      { stanza = stanza $0 "\n" }
      END { flush() }' "$f"
  done
  # One-line entries: the same, with deb-src.
  local line
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $f ]] || continue
    while IFS= read -r line; do
      [[ $line =~ ^deb[[:space:]] ]] || continue
      [[ -z $codename || $line =~ [[:space:]]$codename([-[:space:]]|$) ]] || continue
      printf 'Types: deb-src\n'
      awk '{
        i = 2; opts = ""
        if ($2 ~ /^\[/) { while ($i !~ /\]$/) { opts = opts " " $i; i++ } opts = opts " " $i; i++ }
        printf "URIs: %s\nSuites: %s\nComponents:", $i, $(i + 1)
        for (j = i + 2; j <= NF; j++) printf " %s", $j
        printf "\n"
        if (opts ~ /signed-by=/) { match(opts, /signed-by=[^] ]*/); printf "Signed-By: %s\n", substr(opts, RSTART + 10, RLENGTH - 10) }
        printf "\n"
      }' <<<"$line"
    done <"$f"
  done
}

# The 32-bit wine, run under qemu-i386-static: unpacked into a cache folder, never installed
# system-wide (wine32:i386 would replace dozens of amd64 packages). Its libwine must match the
# installed wine64, whose server both talk to.
wine32_dir=${VEK_WINE32_DIR:-$HOME/.cache/vek-wine32}
wine32_ready() {
  local want
  want=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null || true)
  [[ -n $want && -f $wine32_dir/.complete && $(cat "$wine32_dir/.complete") == "$want" ]]
}

if (( ${#missing[@]} == 0 && need_src == 0 )) && wine32_ready && ag_psd_ready; then
  exit 0
fi

updated=0
# A mirror caught mid-sync fails one index (seen: the security suite's i386 list) and apt-get exits
# non-zero although every other index is fresh; what is missing then fails the install below.
apt_update() {
  $SUDO apt-get update -qq || echo "setup: apt-get update reported errors; going on with the indexes it has" >&2
  updated=1
}

if (( need_src )); then
  entries=$(derive_src_entries)
  if [[ -z $entries ]]; then
    echo "setup: no Debian binary-package entry found in the apt sources to derive source entries from" >&2
    exit 1
  fi
  printf '%s\n' "$entries" | $SUDO tee "$src_list" >/dev/null
fi

if (( ${#missing[@]} || need_src )); then
  echo "setup: installing ${missing[*]:-(source lists only)}" >&2
  apt_update
  if (( ${#missing[@]} )); then
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
fi

if ! wine32_ready; then
  echo "setup: unpacking the 32-bit wine into $wine32_dir" >&2
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    updated=0
  fi
  (( updated )) || apt_update
  version=$(dpkg-query -W -f='${Version}' wine64)
  debs=$(mktemp -d)
  # apt fetches as its own user, _apt: the folder is that user's, or apt warns that it downloads
  # unsandboxed as root.
  if id _apt >/dev/null 2>&1; then $SUDO chown _apt "$debs"; fi
  (cd "$debs" && apt-get download -qq libc6:i386 "libwine:i386=$version" "wine32:i386=$version" \
     "wine32-preloader:i386=$version" >/dev/null)
  rm -rf "$wine32_dir"
  mkdir -p "$wine32_dir"
  for deb in "$debs"/*.deb; do dpkg -x "$deb" "$wine32_dir"; done
  $SUDO rm -rf "$debs"
  echo "$version" >"$wine32_dir/.complete"
fi

if ! ag_psd_ready; then
  echo "setup: installing ag-psd $ag_psd_version into $npm_dir" >&2
  mkdir -p "$npm_dir"
  # The registry is the one npm is configured with on this machine.
  npm install --prefix "$npm_dir" --no-audit --no-fund --silent "ag-psd@$ag_psd_version" >/dev/null
fi
