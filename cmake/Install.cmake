# What `cmake --install` puts where. The daemon is an administrator's
# program (man section 8), so it goes to sbin.
include(GNUInstallDirs)

# Relative values land under the prefix; systemd searches both
# /usr/lib/systemd and /usr/local/lib/systemd.
set(DPD_SYSTEMD_SYSTEM_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Directory of the system unit (relative to the prefix, or absolute)")
set(DPD_SYSTEMD_USER_UNIT_DIR "lib/systemd/user" CACHE STRING
    "Directory of the user unit (relative to the prefix, or absolute)")

# The units name installed paths, so they are made at configure time: set
# CMAKE_INSTALL_PREFIX when configuring, not with `cmake --install --prefix`.
set(DPD_FULL_SBINDIR "${CMAKE_INSTALL_FULL_SBINDIR}")
set(DPD_DEFAULTS_FILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/dbus-proxy-daemon")
set(DPD_POLICY_FILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/dbus-proxy-daemon/policy")
set(DPD_CONTAINERS_DIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/dbus-proxy-daemon/containers.d")
configure_file(dist/systemd/system/dbus-proxy-daemon.service.in
               dist/systemd/system/dbus-proxy-daemon.service @ONLY)
configure_file(dist/systemd/user/dbus-proxy-daemon.service.in
               dist/systemd/user/dbus-proxy-daemon.service @ONLY)

# Man pages are installed compressed, as Debian wants them; -n keeps the
# archive byte-for-byte reproducible.
set(DPD_MAN_PAGE "${CMAKE_CURRENT_BINARY_DIR}/doc/dbus-proxy-daemon.8.gz")
file(MAKE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/doc")
add_custom_command(
  OUTPUT "${DPD_MAN_PAGE}"
  COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\""
          "${CMAKE_CURRENT_SOURCE_DIR}/doc/dbus-proxy-daemon.8" "${DPD_MAN_PAGE}"
  DEPENDS doc/dbus-proxy-daemon.8
  VERBATIM)
add_custom_target(dpd_man_page ALL DEPENDS "${DPD_MAN_PAGE}")

install(TARGETS dbus-proxy-daemon RUNTIME DESTINATION "${CMAKE_INSTALL_SBINDIR}")
install(FILES "${DPD_MAN_PAGE}" DESTINATION "${CMAKE_INSTALL_MANDIR}/man8")
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/dist/systemd/system/dbus-proxy-daemon.service"
        DESTINATION "${DPD_SYSTEMD_SYSTEM_UNIT_DIR}")
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/dist/systemd/user/dbus-proxy-daemon.service"
        DESTINATION "${DPD_SYSTEMD_USER_UNIT_DIR}")
install(FILES dist/systemd/system/dbus-proxy-daemon.socket
        DESTINATION "${DPD_SYSTEMD_SYSTEM_UNIT_DIR}")
install(FILES dist/systemd/user/dbus-proxy-daemon.socket
        DESTINATION "${DPD_SYSTEMD_USER_UNIT_DIR}")
# The full path: with prefix /usr the configuration goes to /etc, not /usr/etc.
install(FILES dist/default/dbus-proxy-daemon
        DESTINATION "${CMAKE_INSTALL_FULL_SYSCONFDIR}/default")
# Debian wants the licence beside the package's documentation.
install(FILES dist/debian/copyright DESTINATION "${CMAKE_INSTALL_DOCDIR}")
# Lets the system daemon own the containers interface's name.
install(FILES dist/dbus-1/org.dbusproxydaemon.Containers1.conf
        DESTINATION "${CMAKE_INSTALL_DATADIR}/dbus-1/system.d")
