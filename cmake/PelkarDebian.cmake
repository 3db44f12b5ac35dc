# What Linux users get: two Debian packages made by CPack's DEB generator (scripts/package).
#   pelkar1         the command-line tool, its manual page and bash completion
#   pelkar1-update  the window Pelkar1_Update, its desktop entry, icons and manual page
# Each folder's install rules land in one component (see the top CMakeLists.txt); each component
# is one package. Dependencies come from dpkg-shlibdeps, so they follow the libraries the build
# really links.

include(GNUInstallDirs)

set(PELKAR_DEB_MAINTAINER "Pelkar1 developers <pelkar1@example.org>")
set(PELKAR_DEB_COMPONENTS)
if(PELKAR_CLI)
  list(APPEND PELKAR_DEB_COMPONENTS cli)
endif()
if(PELKAR_GUI)
  list(APPEND PELKAR_DEB_COMPONENTS window)
endif()

set(CPACK_PACKAGE_NAME pelkar1)
set(CPACK_PACKAGE_VENDOR "the Pelkar1 authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${PELKAR_DEB_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${PELKAR_DEB_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # name_version_arch.deb, as apt expects
set(CPACK_DEBIAN_PACKAGE_SOURCE pelkar1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PELKAR_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_CLI_PACKAGE_NAME pelkar1)
set(CPACK_DEBIAN_CLI_DESCRIPTION "Firmware update utility for Pelkar devices (command line)
pelkar1 loads a firmware image into Pelkar devices over serial lines: one
port or many at once, one unit or a production line of them (--repeat),
with a log of every unit. It lists the machine's serial ports with their
USB identity and who holds them, and runs a simulated device on a virtual
port for trying a station without hardware.")
set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME pelkar1-update)
set(CPACK_DEBIAN_WINDOW_PACKAGE_SECTION electronics)
# Qt finds its display plugins at run time, where dpkg-shlibdeps cannot see them.
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_WINDOW_DESCRIPTION "Firmware update utility for Pelkar devices (window)
Pelkar1_Update is the technician's window for loading a firmware image
into a Pelkar device over a serial line: choose the port, load the image
and press Update; a bar shows the blocks sent and a message box the
device's verdict.")

# Per package: the licence in Debian's machine-readable form and a changelog, both where
# lintian looks (/usr/share/doc/<package>/).
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
string(REGEX REPLACE "\n+$" "" licence "${licence}")
string(REGEX REPLACE "\n\n" "\n.\n" licence "${licence}")
string(REGEX REPLACE "\n" "\n " licence "${licence}")
string(REGEX REPLACE "^[^\n]*\n \\.\n " "" licence_body "${licence}")  # without "MIT License"
set(debian_dir ${CMAKE_BINARY_DIR}/debian)
string(TIMESTAMP PELKAR_DEB_YEAR "%Y" UTC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in ${debian_dir}/copyright @ONLY)
string(TIMESTAMP PELKAR_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)  # SOURCE_DATE_EPOCH wins
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${debian_dir}/changelog @ONLY)
execute_process(COMMAND gzip -9nc ${debian_dir}/changelog OUTPUT_FILE ${debian_dir}/changelog.gz
                COMMAND_ERROR_IS_FATAL ANY)

foreach(component ${PELKAR_DEB_COMPONENTS})
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  install(FILES ${debian_dir}/copyright ${debian_dir}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()
if(PELKAR_GUI)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/Pelkar1_Update.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT window)
endif()
# Programs stripped and manual pages compressed as Debian has them in packages; `cmake
# --install` leaves them as they are.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/finish-staged.cmake)

include(CPack)
cpack_add_component(cli DISPLAY_NAME "pelkar1")
cpack_add_component(window DISPLAY_NAME "Pelkar1_Update")
