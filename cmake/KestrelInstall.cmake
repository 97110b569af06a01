# What `cmake --install` puts under the prefix: the libraries with their headers (each target's
# include folder, installed by kestrel_public_headers), the CMake package kestrel_snpp, the
# pkg-config file of the C library, and, with KESTREL_BUILD_TOOLS, the programs and man pages.
include(CMakePackageConfigHelpers)

set(KESTREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kestrel_snpp)

# The outbox's stores: SQLite always, PostgreSQL where libpq was found.
set(kestrel_outbox_targets kestrel_outbox)
set(KESTREL_HAVE_OUTBOX_PG OFF)
if(TARGET kestrel_outbox_pg)
  list(APPEND kestrel_outbox_targets kestrel_outbox_pg)
  set(KESTREL_HAVE_OUTBOX_PG ON)
endif()
install(TARGETS kestrel_platform_interfaces kestrel_files kestrel_platform kestrel_session kestrel_control
                kestrel_persistence kestrel_delivery kestrel_snpp ${kestrel_outbox_targets}
        EXPORT kestrel_snpp_targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
                NAMELINK_COMPONENT development
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(EXPORT kestrel_snpp_targets
        NAMESPACE kestrel::
        FILE kestrel_snpp-targets.cmake
        DESTINATION ${KESTREL_CMAKE_DIR}
        COMPONENT development)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kestrel_snpp-config.cmake.in
                              ${PROJECT_BINARY_DIR}/kestrel_snpp-config.cmake
                              INSTALL_DESTINATION ${KESTREL_CMAKE_DIR})
# 0.x: a new minor version may change the interfaces, so only the same minor version matches.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kestrel_snpp-config-version.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kestrel_snpp-config.cmake
              ${PROJECT_BINARY_DIR}/kestrel_snpp-config-version.cmake
        DESTINATION ${KESTREL_CMAKE_DIR}
        COMPONENT development)

# kestrel-snpp.pc names absolute folders, and the prefix is known only when installing
# (`cmake --install --prefix`, or /usr for the Debian package), so it is written then. Each
# prefix gets its own scratch copy, so that two installs at once cannot mix them up.
install(CODE "
  string(MD5 kestrel_pc_key \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
  set(kestrel_pc \"${PROJECT_BINARY_DIR}/pkgconfig/\${kestrel_pc_key}/kestrel-snpp.pc\")
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  set(libdir \"${CMAKE_INSTALL_LIBDIR}\")
  set(includedir \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(version \"${PROJECT_VERSION}\")
  set(description \"${PROJECT_DESCRIPTION}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/cmake/kestrel-snpp.pc.in\" \"\${kestrel_pc}\" @ONLY)
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\"
       TYPE FILE FILES \"\${kestrel_pc}\")
" COMPONENT development)

install(FILES ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime)

if(KESTREL_BUILD_TOOLS)
  install(TARGETS snpp-send snpp-sandbox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
                                         COMPONENT runtime)
  # The relay: a daemon (section 8), its systemd unit and system user, and a sample
  # configuration to copy to /etc/snpp-relay/relay.toml and edit (it names example gateways,
  # so it is not installed there itself).
  install(TARGETS snpp-relay RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT runtime)
  # The unit names the program's absolute path, known only when installing (as the .pc file).
  install(CODE "
    string(MD5 kestrel_unit_key \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(kestrel_unit \"${PROJECT_BINARY_DIR}/systemd/\${kestrel_unit_key}/snpp-relay.service\")
    set(sbindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/tools/relay/snpp-relay.service.in\" \"\${kestrel_unit}\" @ONLY)
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\"
         TYPE FILE FILES \"\${kestrel_unit}\")
  " COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/relay/snpp-relay.sysusers
          DESTINATION lib/sysusers.d RENAME snpp-relay.conf COMPONENT runtime)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/relay/snpp-relay.toml
                ${PROJECT_SOURCE_DIR}/tools/relay/snpp-relay.rules.yml
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT runtime)
endif()
