# What `cmake --install` lays out, and the packages CPack makes of it.
#
# Linux (prefix /usr in the Debian package):
#   bin/notara, bin/vaxo-sim
#   share/man/man1/notara.1, vaxo-sim.1
#   share/doc/notara/README.md, docs/*.md, examples/
#   lib/systemd/system/notara@.service
# Windows (the zip): notara.exe, vaxo-sim.exe, README.txt, docs/, examples/
set(NOTARA_EXAMPLES
  ${PROJECT_SOURCE_DIR}/examples/notara.conf
  ${PROJECT_SOURCE_DIR}/examples/notara.vx)
set(NOTARA_USER_DOCS
  ${PROJECT_SOURCE_DIR}/docs/configuration.md
  ${PROJECT_SOURCE_DIR}/docs/usage.md
  ${PROJECT_SOURCE_DIR}/docs/performance.md
  ${PROJECT_SOURCE_DIR}/docs/architecture.md
  ${PROJECT_SOURCE_DIR}/docs/status.md
  ${PROJECT_SOURCE_DIR}/docs/status-page.png
  ${PROJECT_SOURCE_DIR}/docs/vaxo-sim.md
  ${PROJECT_SOURCE_DIR}/docs/vaxo-wire.md)

if(WIN32)
  install(TARGETS notara vaxo-sim RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows-readme.txt DESTINATION . RENAME README.txt)
  install(FILES ${NOTARA_USER_DOCS} DESTINATION docs)
  install(FILES ${NOTARA_EXAMPLES} DESTINATION examples)
else()
  install(TARGETS notara vaxo-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/notara.1 ${PROJECT_SOURCE_DIR}/docs/man/vaxo-sim.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${NOTARA_USER_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
  install(FILES ${NOTARA_EXAMPLES} ${PROJECT_SOURCE_DIR}/packaging/notara.env
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  # The unit names the installed program by its full path.
  configure_file(${PROJECT_SOURCE_DIR}/packaging/notara@.service.in
    ${PROJECT_BINARY_DIR}/packaging/notara@.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/notara@.service DESTINATION ${NOTARA_SYSTEMD_UNIT_DIR})
endif()

set(CPACK_PACKAGE_NAME notara)
set(CPACK_PACKAGE_VENDOR "notara")
set(CPACK_PACKAGE_CONTACT "notara maintainers <notara@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MIDI to robot bridge for Vaxo robot-control servers")
set(CPACK_PACKAGE_DESCRIPTION
  "notara opens one MIDI input port, connects to up to 32 robots driven by Vaxo\n"
  "robot-control servers and turns every MIDI event into script statements sent\n"
  "to them at once. The package holds notara, the stand-in server vaxo-sim, their\n"
  "manual pages, the documentation with examples, and the service template\n"
  "notara@.service.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME notara-${PROJECT_VERSION}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
endif()
include(CPack)
