#!/usr/bin/env bash
# Installs what the build and the test bench need, and nothing that is already there.
# Safe to run again: when everything is present it only checks and returns.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# What the Wine bench needs to run the Windows-side and end-to-end tests. The lane's guest
# (scripts/guest.sh) installs this same list, with wine32 for its 32-bit programs.
bench_pkgs=(wine wine64 xvfb xauth x11-utils xdotool fonts-wqy-microhei imagemagick locales python3
            openssl osslsigncode nsis file procps)
if [ "${1:-}" = --bench-packages ]; then
  printf '%s\n' "${bench_pkgs[@]}" wine32:i386
  exit 0
fi
build_pkgs=(g++ cmake make binutils dpkg-dev zlib1g-dev googletest libgtest-dev libbenchmark-dev
            g++-mingw-w64-i686 mingw-w64 mingw-w64-tools libz-mingw-w64-dev binutils-mingw-w64-i686
            libssl-dev clang libfuzzer-14-dev libclang-rt-14-dev libpugixml-dev libexpat1-dev
            nlohmann-json3-dev libsqlite3-dev)

have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
wanted=("${build_pkgs[@]}" "${bench_pkgs[@]}")
need_i386=0
lane_pkgs=(qemu-system-x86 qemu-utils debootstrap e2fsprogs)
if bash "$here/guest.sh" can-run32; then
  # 32-bit Wine runs setup.exe and the Windows-side tests here.
  dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1
  wanted+=(wine32:i386)
  # TOLVANE_LANE=1 takes the lane all the same (scripts/test.sh).
  [ "${TOLVANE_LANE:-}" != 1 ] || wanted+=("${lane_pkgs[@]}")
else
  # The kernel runs no 32-bit code: 32-bit Wine would not start, so no i386 package is
  # asked for. The 32-bit programs run in the lane's guest, which needs these.
  wanted+=("${lane_pkgs[@]}")
fi
pkgs=()
for p in "${wanted[@]}"; do
  have "$p" || pkgs+=("$p")
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# A mirror caught mid-sync fails one index now and then ("File has unexpected size"); the
# others still serve. Retry a few times, then go on with what was fetched: the install
# below says which package, if any, cannot be had.
apt_update() {
  local try log
  log=$(mktemp)
  for try in 1 2 3; do
    if $SUDO apt-get update -qq >"$log" 2>&1; then rm -f "$log"; return; fi
    echo "install-deps: apt-get update failed (try $try):"
    grep -E '^(E|W):' "$log" | head -n 5
    [ "$try" = 3 ] || sleep 5
  done
  rm -f "$log"
  echo "install-deps: going on with the package lists that were fetched"
}

apt_install() {
  local log
  log=$(mktemp)
  if DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$@" >"$log" 2>&1; then
    rm -f "$log"
    return
  fi
  tail -n 20 "$log"
  rm -f "$log"
  local p missing=()
  for p in "$@"; do
    apt-cache policy "$p" 2>/dev/null | grep -q 'Candidate: [^(]' || missing+=("$p")
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "install-deps: no installable version of: ${missing[*]} (see the package lists above)" >&2
  else
    echo "install-deps: apt could not install: $* (its words above name the conflict)" >&2
  fi
  exit 1
}

if [ "$need_i386" -eq 1 ]; then
  $SUDO dpkg --add-architecture i386
fi
if [ "${#pkgs[@]}" -gt 0 ] || [ "$need_i386" -eq 1 ]; then
  echo "install-deps: installing ${pkgs[*]}"
  apt_update
  apt_install "${pkgs[@]}"
fi

# tolvane-pack's `setup` compresses with libdeflate, built from one pinned Debian source for
# the host and the Windows tool alike, so that both write the same bytes and a newer library
# on the build machine cannot change them. apt fetches it through a deb-src entry and checks
# it against the archive's signed index; dpkg-source checks it again and applies Debian's
# patches. The build finds it in /usr/local/src (TOLVANE_LIBDEFLATE_SOURCE names another).
libdeflate_version=1.14-1
libdeflate_dir=/usr/local/src/libdeflate-${libdeflate_version%-*}
if [ ! -f "$libdeflate_dir/lib/deflate_compress.c" ]; then
  src_list=/etc/apt/sources.list.d/tolvane-deb-src.sources
  [ -f "$src_list" ] ||
    printf '%s\n' 'Types: deb-src' 'URIs: http://deb.debian.org/debian' 'Suites: bookworm' \
      'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' | $SUDO tee "$src_list" >/dev/null
  apt_update
  echo "install-deps: fetching the libdeflate $libdeflate_version source"
  fetch=$(mktemp -d)
  # dpkg-source finds no uploader keys here (apt has already checked the files): say its
  # words only when it fails.
  if ! (cd "$fetch" && apt-get source -qq --download-only "libdeflate=$libdeflate_version" &&
        dpkg-source -q -x "libdeflate_$libdeflate_version.dsc" libdeflate) >"$fetch/log" 2>&1; then
    cat "$fetch/log"; rm -rf "$fetch"
    echo "install-deps: could not fetch the libdeflate $libdeflate_version source" >&2
    exit 1
  fi
  $SUDO mkdir -p /usr/local/src
  $SUDO rm -rf "$libdeflate_dir"
  $SUDO mv "$fetch/libdeflate" "$libdeflate_dir"
  rm -rf "$fetch"
fi

# The Chinese locale gives Wine code page 936 and its own Chinese button texts; the others
# are the foreign systems the end-to-end tests install on (1252, 932, 950, 949). They are
# generated here, before any test starts Wine: regenerating locales under a running Wine
# makes it lose its own.
locales=(zh_CN.UTF-8 en_US.UTF-8 ja_JP.UTF-8 zh_TW.UTF-8 ko_KR.UTF-8)
missing=()
for l in "${locales[@]}"; do
  locale -a 2>/dev/null | grep -qix "${l%.UTF-8}.utf-\?8" || missing+=("$l")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "install-deps: generating ${missing[*]}"
  for l in "${missing[@]}"; do
    $SUDO sed -i "s/^# *\(${l} UTF-8\)/\1/" /etc/locale.gen
    grep -q "^${l} UTF-8" /etc/locale.gen || echo "${l} UTF-8" | $SUDO tee -a /etc/locale.gen >/dev/null
  done
  $SUDO locale-gen >/dev/null
fi
echo "install-deps: everything present"
