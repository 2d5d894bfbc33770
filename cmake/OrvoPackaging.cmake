# The Debian package: `cpack -G DEB` in the build directory writes
# orvo-host_<version>_<arch>.deb with the binaries, the systemd user unit, the desktop
# entry and the icon. Its Depends: line comes from the shared libraries the binaries link
# (dpkg-shlibdeps, from dpkg-dev).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvo-host)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Orvo")
set(CPACK_PACKAGE_CONTACT "Orvo Host maintainers <orvo-host@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Mirror desktop windows to paired tablets and headsets")
set(CPACK_PACKAGE_DESCRIPTION
    "Orvo Host mirrors single application windows of an X11 desktop to paired tablet and headset clients on the local network, streams them as adaptive JPEG frames over a TLS-PSK session, and lets the clients drive those windows with pointer and keyboard input.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Advertising needs the Avahi daemon; opening a downloaded update needs xdg-open.
# On Wayland: the panel as a native window, and the portal that shares windows and input.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon, xdg-utils, qt6-wayland, xdg-desktop-portal, pipewire")
include(CPack)
