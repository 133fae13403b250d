# Debian packages (cpack -G DEB, driven by scripts/package.sh):
#   obd-gateway        the daemon, its service, the factory configuration,
#                      the broker drop-in and the technician's obd-gateway-cli;
#   obd-gateway-tools  the vehicle simulator, its CAN preload library and the
#                      sample vehicles, for bench work.
set(OBDGW_PKG ${CMAKE_SOURCE_DIR}/packaging)

install(TARGETS obd-gateway obd-gateway-cli RUNTIME DESTINATION bin COMPONENT gateway)
# Man pages are shipped compressed, without a name or time stamp in the
# header (gzip -9n), so that rebuilds give the same bytes.
set(OBDGW_CLI_MAN ${CMAKE_BINARY_DIR}/obd-gateway-cli.1.gz)
add_custom_command(OUTPUT ${OBDGW_CLI_MAN}
                   COMMAND sh -c "gzip -9n -c '${OBDGW_PKG}/obd-gateway-cli.1' > '${OBDGW_CLI_MAN}'"
                   DEPENDS ${OBDGW_PKG}/obd-gateway-cli.1 VERBATIM)
add_custom_target(obd-gateway-cli-man ALL DEPENDS ${OBDGW_CLI_MAN})
install(FILES ${OBDGW_CLI_MAN} DESTINATION share/man/man1 COMPONENT gateway)
# Factory copy of the configuration; the daemon restores config.json from it,
# and the package's first config.json is a copy of it.
install(FILES config/default_config.json DESTINATION /opt/vyr/configs/default_config COMPONENT gateway)
install(FILES ${OBDGW_PKG}/obd-gateway.service DESTINATION /lib/systemd/system COMPONENT gateway)
install(FILES ${OBDGW_PKG}/mosquitto-obd-gateway.conf DESTINATION /etc/mosquitto/conf.d
        RENAME obd-gateway.conf COMPONENT gateway)
# sudo's policy and plugin settings inside the service's sandbox (bound over
# /etc/sudoers and /etc/sudo.conf there).
install(FILES ${OBDGW_PKG}/sudoers DESTINATION share/obd-gateway PERMISSIONS OWNER_READ COMPONENT gateway)
install(FILES ${OBDGW_PKG}/sudo.conf DESTINATION share/obd-gateway COMPONENT gateway)

if(TARGET obd-vehicle-sim AND TARGET obdsim_can_preload)
  install(TARGETS obd-vehicle-sim obd-isotp-ecu RUNTIME DESTINATION bin COMPONENT tools)
  install(TARGETS obdsim_can_preload LIBRARY DESTINATION lib/obd-gateway-tools COMPONENT tools)
  file(GLOB OBDGW_SAMPLE_VEHICLES ${CMAKE_SOURCE_DIR}/tools/vehicles/*.json)
  list(FILTER OBDGW_SAMPLE_VEHICLES EXCLUDE REGEX "/demo_config\\.json$") # the demo's gateway settings
  install(FILES ${OBDGW_SAMPLE_VEHICLES} DESTINATION share/obd-gateway-tools/vehicles COMPONENT tools)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME obd-gateway)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL gateway tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_CONTACT "obd-gateway maintainers <obd-gateway@localhost>")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()

# Library versions are those of Debian 12 (libgpiod3 from bookworm-backports);
# tests/board/board_test.sh compares them with what the binaries link.
set(OBDGW_DEB_BASE "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
set(CPACK_DEBIAN_GATEWAY_PACKAGE_NAME obd-gateway)
set(CPACK_DEBIAN_GATEWAY_PACKAGE_DEPENDS
    "${OBDGW_DEB_BASE}, libcjson1 (>= 1.7.15), libpaho-mqtt1.3 (>= 1.3.12), libgpiod3 (>= 2.1), mosquitto, iproute2, sudo")
set(CPACK_DEBIAN_GATEWAY_DESCRIPTION "OBD-II gateway daemon
 Bridges a vehicle's OBD-II connector (SocketCAN can0) and twelve relay
 outputs to a UI application through the local MQTT broker. obd-gateway-cli
 asks the gateway from a shell (status, trouble codes, live data, relays).")
set(CPACK_DEBIAN_GATEWAY_PACKAGE_CONTROL_EXTRA
    "${OBDGW_PKG}/gateway/postinst;${OBDGW_PKG}/gateway/prerm;${OBDGW_PKG}/gateway/postrm;${OBDGW_PKG}/gateway/conffiles")
set(CPACK_DEBIAN_GATEWAY_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME obd-gateway-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${OBDGW_DEB_BASE}, libcjson1 (>= 1.7.15)")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "Vehicle simulator for the OBD-II gateway
 obd-vehicle-sim answers OBD-II requests like a vehicle, on a real SocketCAN
 interface or on a UNIX-socket bus reached through its CAN preload library
 (/usr/lib/obd-gateway-tools/libobdsim_can_preload.so); obd-isotp-ecu is one
 ECU on the kernel's ISO-TP sockets. Sample vehicles in
 /usr/share/obd-gateway-tools/vehicles.")

include(CPack)
