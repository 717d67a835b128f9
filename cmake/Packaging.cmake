# A Debian package of the installed tree (scripts/package): `cpack` in a build
# directory configured with the prefix /usr. Dependencies come from the shared
# libraries the programs link (dpkg-shlibdeps), never from a hand-kept list.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME overlook)
set(CPACK_PACKAGE_VENDOR "Overlook")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Live previews of every attached display, in the tray")
set(CPACK_PACKAGE_DESCRIPTION
  "Overlook shows live, scaled-down previews of every attached display, composed as\n\
the displays are arranged, with a crosshair over the cursor. A tray icon opens the\n\
picture in a popover; displays can also get windows of their own. The overlook\n\
command takes screenshots of all displays and lists them without a tray.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Overlook maintainers <overlook@localhost>" CACHE STRING
  "Maintainer field of the Debian package")
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
