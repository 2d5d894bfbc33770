#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Orvo Host needs.
# Idempotent and non-interactive: packages already present are skipped.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git
  # libraries
  libasio-dev libssl-dev openssl libavahi-client-dev libicu-dev nlohmann-json3-dev
  libxcb1-dev libxcb-ewmh-dev libxcb-icccm4-dev libxcb-composite0-dev libxcb-shm0-dev
  libxcb-image0-dev libxcb-xtest0-dev libxcb-keysyms1-dev libxcb-xkb-dev libxcb-screensaver0-dev libxcb-randr0-dev
  libxcb-damage0-dev libxcb-xfixes0-dev
  libxkbcommon-dev libxkbcommon-x11-dev
  libyuv-dev libturbojpeg0-dev libjpeg62-turbo-dev
  # windows shared as PipeWire video streams: the library, and the daemon and session
  # manager that tests run privately
  libpipewire-0.3-dev pipewire wireplumber
  # a Wayland desktop's keymap (wayland-client), and the panel as a native Wayland window
  libwayland-dev qt6-wayland
  # sd-bus: logind (sleep, lock, inhibitor locks) and the desktop's screen saver service
  libsystemd-dev
  # updates: HTTPS, appcast XML, ed25519; the Debian package (cpack, dpkg-shlibdeps)
  libcurl4-openssl-dev libpugixml-dev libsodium-dev dpkg-dev file
  # the control panel: Qt 6 Widgets, its SVG icons, the X11 platform plugin; xdg-open for documents
  qt6-base-dev qt6-svg-dev qt6-qpa-plugins xdg-utils
  # fuzzing: clang with libFuzzer and the sanitizer runtimes
  clang libclang-rt-14-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth openbox xterm x11-utils x11-apps x11-xserver-utils x11-xkb-utils xserver-xephyr xfonts-base
  fonts-dejavu-core
  dbus avahi-daemon avahi-utils procps ffmpeg
  # a test runs a small socket server as another user (setpriv + python3)
  python3-minimal
  # panel tests and screenshots: a system tray host, window control, PNG capture
  trayer xdotool imagemagick at-spi2-core
  # `ip`: the Avahi test fixture brings up loopback in avahi-daemon's private network namespace
  iproute2
  # the Wayland tests' private GNOME desktop (tests/wayland): compositor, portals, PipeWire,
  # dconf for its settings, AT-SPI to answer the portal's dialogs, a GTK 4 test window
  gnome-shell xdg-desktop-portal xdg-desktop-portal-gnome pipewire-bin
  dconf-service dconf-gsettings-backend
  python3-gi python3-dbus gir1.2-gtk-4.0 gir1.2-atspi-2.0 gir1.2-gstreamer-1.0
  gstreamer1.0-pipewire gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
)

# The desktop processes of the Wayland tests run as this unprivileged user when the suite
# runs as root: compositors and portals misbehave as root.
if [ "$(id -u)" -eq 0 ]; then
  id orvo-test >/dev/null 2>&1 || useradd -m -s /usr/sbin/nologin orvo-test
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
