# The Qt face: Pelkar1_Update for Linux, its icons and desktop entry. Included from
# app/CMakeLists.txt on POSIX systems.
find_package(Qt6 REQUIRED COMPONENTS Widgets)

pelkar_library(NAME app_qt
  SOURCES src/qt_form1.cpp src/progress_picture.cpp src/app_icon.cpp
          include/app/qt_form1.h include/app/progress_picture.h
  DEPS Qt6::Widgets pelkar::app)
set_target_properties(pelkar_app_qt PROPERTIES AUTOMOC ON)

add_executable(Pelkar1_Update src/main.cpp)
target_link_libraries(Pelkar1_Update PRIVATE pelkar::app_qt pelkar::options)

# Writes the icon at the sizes a desktop's menu asks for, from the same drawing the window uses.
add_executable(pelkar_app_icon_writer src/icon_writer.cpp)
target_link_libraries(pelkar_app_icon_writer PRIVATE pelkar::app_qt pelkar::options)
set(PELKAR_ICON_DIR ${CMAKE_CURRENT_BINARY_DIR}/icons)
add_custom_command(
  OUTPUT ${PELKAR_ICON_DIR}/16.png ${PELKAR_ICON_DIR}/32.png ${PELKAR_ICON_DIR}/48.png
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PELKAR_ICON_DIR}
  COMMAND pelkar_app_icon_writer ${PELKAR_ICON_DIR} 16 32 48
  DEPENDS pelkar_app_icon_writer
  VERBATIM)
add_custom_target(pelkar_app_icons ALL
  DEPENDS ${PELKAR_ICON_DIR}/16.png ${PELKAR_ICON_DIR}/32.png ${PELKAR_ICON_DIR}/48.png)

include(GNUInstallDirs)
install(TARGETS Pelkar1_Update RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES pelkar1-update.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES pelkar1-update.svg
  DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 16 32 48)
  install(FILES ${PELKAR_ICON_DIR}/${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
    RENAME pelkar1-update.png)
endforeach()

# The Windows build's icon is checked in, made by the writer above from the same drawing.
if(PELKAR_TESTS)
  add_test(NAME app_windows_icon_is_current
    COMMAND ${CMAKE_COMMAND} -DWRITER=$<TARGET_FILE:pelkar_app_icon_writer>
            -DDIR=${CMAKE_CURRENT_BINARY_DIR}/ico -DEXPECTED=${CMAKE_CURRENT_SOURCE_DIR}/win32/Pelkar1_Update.ico
            -P ${PROJECT_SOURCE_DIR}/cmake/CompareIcon.cmake)
endif()
