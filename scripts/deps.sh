#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, when missing.
set -euo pipefail
packages=(
  cmake g++ ninja-build pkg-config mold ccache openssl
  qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite qt6-svg-dev
  libssl-dev libcurl4-openssl-dev zlib1g-dev libqrencode-dev qt6-webengine-dev
  xvfb xauth xdotool imagemagick fonts-wqy-microhei xdg-utils desktop-file-utils
  qt6-translations-l10n qt6-pdf-dev libgmime-3.0-dev libsane-dev libsane1 sane-utils qt6-multimedia-dev python3-aiosmtpd
  libreoffice-writer libreoffice-calc libreoffice-impress libreoffice-draw bubblewrap
  chromium chromium-driver python3-selenium
  dpkg-dev file lintian gnome-keyring dbus qtkeychain-qt6-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=300 "${missing[@]}"
fi
