# What Windows users get: a zip of the programs, the README and the licence. The installer's
# own settings (cmake/PelkarInstaller.cmake) join in when that file is there.

set(CPACK_PACKAGE_NAME pelkar1)
set(CPACK_PACKAGE_VENDOR "the Pelkar1 authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware update utility for Pelkar devices")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME pelkar1-${PROJECT_VERSION}-windows-x86_64)
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_GENERATOR ZIP)
# One folder named after the package, so that unpacking never scatters files.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)

# Notepad reads these names; the lines keep their LF ends, which it shows since Windows 10.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . RENAME README.txt)
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)

include(PelkarInstaller OPTIONAL)
include(CPack)
