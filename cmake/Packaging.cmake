# Desktop integration files and the Debian package (cpack -G DEB in the build tree).
add_subdirectory(${PROJECT_SOURCE_DIR}/packaging ${PROJECT_BINARY_DIR}/packaging)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME glowticker)
set(CPACK_PACKAGE_VENDOR "Glowticker")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Glowticker maintainers <maintainers@glowticker.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Desktop companion for the Glowticker phone app and coding agents")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Desktop companion for the Glowticker phone app and coding agents
 A system tray app that finds the Glowticker phone app on the local network,
 pairs with it by the 4-digit code the phone shows and shows whether the phone
 is reachable. It turns the events of coding agents (codex, claude, kimi) into
 desktop notifications and installs or removes those agents' hooks.
 .
 Includes the glowticker command-line tool and the glowticker-hook sender.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies are read off the binaries by dpkg-shlibdeps rather than listed by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt loads its Wayland platform plugin at run time, so shlibdeps cannot see it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-wayland")
# Discovery goes through the Avahi daemon, but pairing by address works without it.
# The panel is Chinese: without a CJK font every label is a row of boxes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon, fonts-noto-cjk")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-shell-extension-appindicator")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
