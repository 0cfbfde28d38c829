# Debian package: `cpack -G DEB` in a build configured with
# -DCMAKE_INSTALL_PREFIX=/usr. The package installs under the configured
# prefix, where the units expect the daemon.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dbus-proxy-daemon)
set(CPACK_PACKAGE_CONTACT "dbus-proxy-daemon developers <dev@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "D-Bus proxy that lets containers use the host's session or system bus")
# The long description; CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Applications inside a container connect to the proxy's address as if it
were the bus; each gets a private connection to the host bus. Calls to
services that the container runs under a namespaced name are redirected,
and the tray panel's icon paths are adapted. Ships systemd units for the
session bus (user unit) and the system bus; neither is enabled on install.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Runtime dependencies come from the linked libraries (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The user unit needs a session bus started by the user manager.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS dbus-user-session)

# dpkg keeps an administrator's edits of files listed in conffiles.
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/dist/debian/conffiles"
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/dbus-proxy-daemon\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${CMAKE_CURRENT_BINARY_DIR}/dist/debian/conffiles"
    "${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/postinst"
    "${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/prerm"
    "${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

include(CPack)
