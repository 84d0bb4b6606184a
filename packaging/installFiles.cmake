# Run at install time (install(SCRIPT)): writes the systemd units with the
# paths of this installation, so that `cmake --install --prefix`, DESTDIR
# installs and CPack all get units naming the programs where they really
# are, puts the example configuration and the log rotation in place unless
# they are there, and installs the service user's sysusers.d entry.
# Set by the caller: KOVA_PACKAGING_DIR, KOVA_PACKAGING_BUILD_DIR.

# The programs read /etc/kova/flows.conf by default; a /usr installation
# (a distribution package) uses it, any other prefix its own etc/.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(KOVA_CONFDIR "/etc/kova")
else()
  set(KOVA_CONFDIR "${CMAKE_INSTALL_PREFIX}/etc/kova")
endif()
get_filename_component(KOVA_ETCDIR "${KOVA_CONFDIR}" DIRECTORY)
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

# The service user and group (systemd-sysusers reads lib/sysusers.d).
file(INSTALL "${KOVA_PACKAGING_DIR}/kova.sysusers" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/sysusers.d"
     RENAME kova.conf TYPE FILE)

# Manual pages, and the copyright and changelog where Debian wants them,
# compressed as Debian does (-n: no name or time stamp, so builds match).
function(kova_install_gzipped source destination name)
  execute_process(COMMAND gzip -9n -c "${source}" OUTPUT_FILE "${KOVA_PACKAGING_BUILD_DIR}/${name}.gz"
                  COMMAND_ERROR_IS_FATAL ANY)
  file(INSTALL "${KOVA_PACKAGING_BUILD_DIR}/${name}.gz" DESTINATION "${destination}" TYPE FILE)
endfunction()
foreach(program kovaFlowCollector kovaFlowCapture)
  kova_install_gzipped("${KOVA_PACKAGING_DIR}/man/${program}.8" "${CMAKE_INSTALL_PREFIX}/share/man/man8"
                       "${program}.8")
endforeach()
set(KOVA_DOCDIR "${CMAKE_INSTALL_PREFIX}/share/doc/kova-flow")
kova_install_gzipped("${KOVA_PACKAGING_DIR}/debian/changelog" "${KOVA_DOCDIR}" changelog)
file(INSTALL "${KOVA_PACKAGING_DIR}/debian/copyright" DESTINATION "${KOVA_DOCDIR}" TYPE FILE)

# A staged /usr installation is a distribution package: Debian wants its
# files 0644, and its postinst makes the configuration root:kova 0640. An
# edited configuration, the only kind that holds a real password, is kept
# by dpkg with its own mode.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr" AND NOT "$ENV{DESTDIR}" STREQUAL "")
  set(KOVA_CONFIG_MODE OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
else()
  set(KOVA_CONFIG_MODE OWNER_READ OWNER_WRITE GROUP_READ)
endif()

# An operator's configuration is never overwritten, nor is the log rotation
# once installed. The configuration holds the database password, hence
# readable by root and the services' group only.
if(EXISTS "$ENV{DESTDIR}${KOVA_CONFIG}")
  message(STATUS "Kept: $ENV{DESTDIR}${KOVA_CONFIG}")
else()
  # Plugins may only run from this installation's plugin directory.
  file(READ "${KOVA_PACKAGING_DIR}/flows.conf" KOVA_CONFIG_TEXT)
  string(REPLACE "plugin_dir=/usr/lib/kova/plugins" "plugin_dir=${CMAKE_INSTALL_PREFIX}/lib/kova/plugins"
         KOVA_CONFIG_TEXT "${KOVA_CONFIG_TEXT}")
  file(WRITE "${KOVA_PACKAGING_BUILD_DIR}/flows.conf" "${KOVA_CONFIG_TEXT}")
  file(INSTALL DESTINATION "${KOVA_CONFDIR}" TYPE FILE
       PERMISSIONS ${KOVA_CONFIG_MODE}
       FILES "${KOVA_PACKAGING_BUILD_DIR}/flows.conf")
endif()
set(KOVA_LOGROTATE "${KOVA_ETCDIR}/logrotate.d/kova-flow-collector")
if(EXISTS "$ENV{DESTDIR}${KOVA_LOGROTATE}")
  message(STATUS "Kept: $ENV{DESTDIR}${KOVA_LOGROTATE}")
else()
  file(INSTALL "${KOVA_PACKAGING_DIR}/kova-flow-collector.logrotate"
       DESTINATION "${KOVA_ETCDIR}/logrotate.d" RENAME kova-flow-collector TYPE FILE)
endif()

# Installing into this very system (as root, no staging DESTDIR, a prefix
# whose units and sysusers.d systemd reads): create the user now and let
# its group read the configuration, as the package's postinst does. Any
# other installation only gets the files.
execute_process(COMMAND id -u OUTPUT_VARIABLE KOVA_INSTALL_UID OUTPUT_STRIP_TRAILING_WHITESPACE)
find_program(KOVA_SYSUSERS systemd-sysusers)
if("$ENV{DESTDIR}" STREQUAL "" AND KOVA_INSTALL_UID STREQUAL "0" AND KOVA_SYSUSERS
   AND CMAKE_INSTALL_PREFIX MATCHES "^/usr(/local)?$")
  execute_process(COMMAND "${KOVA_SYSUSERS}" "${CMAKE_INSTALL_PREFIX}/lib/sysusers.d/kova.conf"
                  RESULT_VARIABLE sysusers_status)
  if(NOT sysusers_status EQUAL 0)
    message(FATAL_ERROR "systemd-sysusers could not create the user kova")
  endif()
  execute_process(COMMAND chown root:kova "${KOVA_CONFIG}" COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND chmod 0640 "${KOVA_CONFIG}" COMMAND_ERROR_IS_FATAL ANY)
  message(STATUS "User kova in place; ${KOVA_CONFIG} is root:kova 0640")
endif()
