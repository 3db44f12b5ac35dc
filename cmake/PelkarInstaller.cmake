# The Windows installer: Pelkar1-<version>-win64.exe, made by CPack's NSIS generator with
# Debian's nsis. Both programs go under Program Files\Pelkar1, the window gets a Start-menu
# shortcut, and an uninstaller is registered. The zip stays for those who want no installer.

set(CPACK_NSIS_PACKAGE_NAME "Pelkar1")
set(CPACK_NSIS_DISPLAY_NAME "Pelkar1")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Pelkar1")
set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY "Pelkar1")
set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
set(CPACK_NSIS_MUI_ICON ${PROJECT_SOURCE_DIR}/app/win32/Pelkar1_Update.ico)
set(CPACK_NSIS_MUI_UNIICON ${PROJECT_SOURCE_DIR}/app/win32/Pelkar1_Update.ico)
set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\\\Pelkar1_Update.exe")
set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
set(CPACK_NSIS_MODIFY_PATH OFF)
# Start menu: the window only; the command-line tool is reached from a console.
set(CPACK_PACKAGE_EXECUTABLES "Pelkar1_Update" "Pelkar Update utility")
set(CPACK_NSIS_EXECUTABLES_DIRECTORY bin)
set(CPACK_NSIS_MENU_LINKS "README.txt" "Pelkar1 README")
set(CPACK_NSIS_COMPRESSOR "/SOLID lzma")
# A 64-bit installer for 64-bit programs: Program Files and the registry's own view.
set(CPACK_NSIS_DEFINES "Target amd64-unicode")
# The installer's own name; the zip keeps the package's file name.
configure_file(${CMAKE_CURRENT_LIST_DIR}/PelkarCPackOptions.cmake.in
               ${CMAKE_BINARY_DIR}/PelkarCPackOptions.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/PelkarCPackOptions.cmake)
