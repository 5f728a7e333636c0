# The packages of gatewayd.
#
# The component gatewayd (the program, our three libraries and the service
# launcher) is what both packages carry; the headers, modemctl and gwctl are
# components of their own and stay out of them.
#  - Debian: cpack in a build folder makes gatewayd_<version>-1_<arch>.deb
#    (tools/make-deb.sh: amd64 from the default preset, mipsel from the
#    mipsel preset), adding the component debian below.
#  - OpenWrt: tools/make-ipk.sh installs the component gatewayd of the mipsel
#    build and adds packaging/openwrt/ (packaging/openwrt/Makefile is the
#    same package for an OpenWrt build tree).

set(KIV_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
# cpack installs without building the whole tree first (tests and
# benchmarks included); tools/make-deb.sh builds what the packages hold.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

# The launcher starts gatewayd in its node script's folder, for procd and
# systemd alike.
install(PROGRAMS ${KIV_PACKAGING_DIR}/gatewayd-launch
        DESTINATION ${CMAKE_INSTALL_LIBEXECDIR} COMPONENT gatewayd)

# Debian's files outside the prefix. EXCLUDE_FROM_ALL: a plain
# `cmake --install` must never write into this machine's /etc.
set(debian_files ${KIV_PACKAGING_DIR}/debian)
install(FILES ${debian_files}/gatewayd.service DESTINATION /lib/systemd/system
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${debian_files}/gatewayd.sysusers DESTINATION lib/sysusers.d RENAME gatewayd.conf
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${debian_files}/gatewayd.default DESTINATION /etc/default RENAME gatewayd
        COMPONENT debian EXCLUDE_FROM_ALL)
# The postinst gives the settings file to the group gatewayd (0640).
install(FILES ${PROJECT_SOURCE_DIR}/examples/gw.cfg DESTINATION /etc/kiv
        PERMISSIONS OWNER_READ OWNER_WRITE
        COMPONENT debian EXCLUDE_FROM_ALL)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/examples/pynodes.py DESTINATION /etc/kiv
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/docs/operations.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/gatewayd
        COMPONENT debian EXCLUDE_FROM_ALL)

# Debian's architecture name: the host's (dpkg --print-architecture, CPack's
# default) in a native build; from the target processor in a cross build.
if(CMAKE_CROSSCOMPILING)
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "mipsel")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE mipsel)
  else()
    message(STATUS "No Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}: "
                   "set CPACK_DEBIAN_PACKAGE_ARCHITECTURE to package this build")
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME gatewayd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KIV gateway maintainers <gateway@kiv.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "gateway publishing node data to a device platform over MQTT")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "gatewayd runs the node script /etc/kiv/pynodes.py each publish interval,
publishes its output to the platform's MQTT broker and answers the
platform's requests. The package runs it as the systemd service gatewayd
under its own unprivileged user; its settings are /etc/kiv/gw.cfg and
/etc/default/gatewayd.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Named, not computed by dpkg-shlibdeps: a cross build has no dpkg database
# of the target's libraries. The packages that hold what our files link
# (tests/packaging checks each needed library against this list);
# systemd-sysusers creates the service's user.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6, libgcc-s1, libstdc++6, libpaho-mqtt1.3, libssl3, libjsoncpp25, libcjson1, systemd | systemd-standalone-sysusers")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${debian_files}/conffiles ${debian_files}/postinst ${debian_files}/prerm ${debian_files}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL gatewayd debian)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
include(CPack)
