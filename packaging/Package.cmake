# The Debian package `tidemark`, made by CPack's DEB generator from what `cmake --install` lays out
# under /usr (and the unit under /lib/systemd/system). scripts/package builds it from an optimised
# tree; the package tests build it from the tree they test.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tidemark)
# The same version as debian/changelog and the metainfo's release.
set(CPACK_PACKAGE_VERSION 1.0)
set(CPACK_PACKAGE_VENDOR "The Tidemark developers")
set(CPACK_PACKAGE_CONTACT "The Tidemark developers <tidemark@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "alarms and timers that wake the computer in time")
# Lines of the long description as dpkg shows them (at most 80 columns).
set(CPACK_PACKAGE_DESCRIPTION [[
Tidemark keeps alarms and countdown timers and rings them with a desktop
notification. Its Wake & Startup plug-in has the computer wake from suspend,
or power on, in time for the next alarm: before the system sleeps or powers
off, a small set-user-ID helper program schedules a wake-up event with the
real-time clock, and withdraws it on wake. Switching waking on asks for an
administrator's password through polkit.
.
The package also holds wfs-pmset, which lists the scheduled power events, and
a systemd unit that re-arms the real-time clock's wake alarm at boot and after
each resume.]])

# Installed with DESTDIR and the prefix /usr, so that the absolute unit folder lands in the package
# too, and what the install writes for its prefix (the unit's ExecStart) names /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# The libraries come from dpkg-shlibdeps; pkexec runs the helper tool's repair and polkitd answers
# the pane's lock. Qt's SVG plug-ins are loaded at run time, which dpkg-shlibdeps cannot see:
# without them the application's and the pane's images (SVG) come out blank.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pkexec, polkitd, libqt6svg6")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
