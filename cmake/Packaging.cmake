# A Debian package of the installed tree (scripts/package): `cpack` in a build
# directory configured with the prefix /usr. Dependencies come from the shared
# libraries the programs link (dpkg-shlibdeps), never from a hand-kept list.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME overlook)
set(CPACK_PACKAGE_VENDOR "Overlook")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Live previews of every attached display, in the tray")
# Lines of at most 80 characters, as Debian's tools expect.
set(CPACK_PACKAGE_DESCRIPTION
  "Overlook shows live, scaled-down previews of every attached display,\n\
composed as the displays are arranged, with a crosshair over the mouse\n\
pointer. A tray icon opens the picture in a popover; displays can also get\n\
windows of their own. The overlook command takes screenshots of all\n\
displays and lists them without a tray.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed with DESTDIR and the real prefix, so that install-time scripts see /usr
# (cmake/InstallEntries.cmake writes it into the launcher entry and the service file).
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Overlook developers <developers@overlook.io>" CACHE STRING
  "Maintainer field of the Debian package")
# Build trees configured before kept a local address, which Debian's tools reject.
if(CPACK_DEBIAN_PACKAGE_MAINTAINER MATCHES "@localhost>$")
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Overlook developers <developers@overlook.io>" CACHE STRING
    "Maintainer field of the Debian package" FORCE)
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The icons are SVG, drawn by Qt's image-format plugin: loaded at run time, so
# dpkg-shlibdeps cannot see it; it joins the generated list.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
# Opens a saved screenshot from its notification.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "xdg-utils")
include(CPack)
