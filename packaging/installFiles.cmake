# Run at install time (install(SCRIPT)): writes the systemd units with the
# paths of this installation, so that `cmake --install --prefix`, DESTDIR
# installs and CPack all get units naming the programs where they really
# are, and puts the example configuration in place unless one is there.
# Set by the caller: KOVA_PACKAGING_DIR, KOVA_PACKAGING_BUILD_DIR.

# The programs read /etc/kova/flows.conf by default; a /usr installation
# (a distribution package) uses it, any other prefix its own etc/.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(KOVA_CONFDIR "/etc/kova")
else()
  set(KOVA_CONFDIR "${CMAKE_INSTALL_PREFIX}/etc/kova")
endif()
set(KOVA_SBINDIR "${CMAKE_INSTALL_PREFIX}/sbin")
set(KOVA_CONFIG "${KOVA_CONFDIR}/flows.conf")

set(units kova-flow-collector.service kova-flow-capture.service kova-flow-capture.timer)
set(unit_files "")
foreach(unit IN LISTS units)
  configure_file("${KOVA_PACKAGING_DIR}/${unit}.in" "${KOVA_PACKAGING_BUILD_DIR}/${unit}" @ONLY)
  list(APPEND unit_files "${KOVA_PACKAGING_BUILD_DIR}/${unit}")
endforeach()
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE
     FILES ${unit_files})

# An operator's configuration is never overwritten; it holds the database
# password, hence readable by root and its group only.
if(EXISTS "$ENV{DESTDIR}${KOVA_CONFIG}")
  message(STATUS "Kept: $ENV{DESTDIR}${KOVA_CONFIG}")
else()
  file(INSTALL DESTINATION "${KOVA_CONFDIR}" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ
       FILES "${KOVA_PACKAGING_DIR}/flows.conf")
endif()
