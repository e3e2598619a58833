#!/usr/bin/env bash
# Installs the Debian packages Kartivo needs to build, test and run, when any
# is missing. Uses sudo when not run as root.
set -euo pipefail
packages=(g++ cmake ninja-build libgtest-dev libgmock-dev qt6-base-dev qt6-qpa-plugins libgl-dev
          clang clang-format clang-tidy libclang-rt-14-dev xvfb xauth imagemagick nginx-light
          libcurl4-openssl-dev locales-all dpkg-dev desktop-file-utils librsvg2-bin
          shared-mime-info libxml2-utils xdotool groff-base
          libtiff-dev libgeotiff-dev libjpeg62-turbo-dev libpng-dev libsqlite3-dev gdal-bin sqlite3
          tinyproxy python3-gdal)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
