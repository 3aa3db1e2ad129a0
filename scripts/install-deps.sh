#!/usr/bin/env bash
# Installs what building, testing and the demo need, from Debian 12's archive. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libx11-dev libxtst-dev libgl-dev
  libavcodec-dev libavformat-dev libavutil-dev libyuv-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth x11-utils libgl1-mesa-dri mesa-utils ffmpeg locales python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done

if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# A locale with a decimal comma, for the tests that check numbers do not follow the host's locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo localedef -i de_DE -c -f UTF-8 de_DE.UTF-8
fi
