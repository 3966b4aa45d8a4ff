#!/usr/bin/env bash
# Installs what the build and the test bench need, and nothing that is already there.
# Safe to run again: when everything is present it only checks and returns.
set -euo pipefail

need_i386=0
pkgs=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1

for p in g++ cmake make zlib1g-dev libdeflate-dev googletest libgtest-dev libbenchmark-dev \
         g++-mingw-w64-i686 mingw-w64 mingw-w64-tools libz-mingw-w64-dev \
         wine wine64 xvfb xauth x11-utils fonts-wqy-microhei imagemagick \
         openssl libssl-dev clang libfuzzer-14-dev libclang-rt-14-dev locales file binutils-mingw-w64-i686 python3 \
         xdotool osslsigncode nsis; do
  have "$p" || pkgs+=("$p")
done
have wine32:i386 || pkgs+=("wine32:i386")

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

if [ "$need_i386" -eq 1 ]; then
  $SUDO dpkg --add-architecture i386
fi
if [ "${#pkgs[@]}" -gt 0 ] || [ "$need_i386" -eq 1 ]; then
  echo "install-deps: installing ${pkgs[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${pkgs[@]}" >/dev/null
fi

# The Chinese locale gives Wine code page 936 and its own Chinese button texts.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
  echo "install-deps: generating zh_CN.UTF-8"
  $SUDO sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi
echo "install-deps: everything present"
