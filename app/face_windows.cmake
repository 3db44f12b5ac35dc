# Pelkar1_Update.exe: Form1's core with its Win32 face, a GUI program with its icon, version
# and manifest. Included from app/CMakeLists.txt on Windows.
enable_language(RC)

pelkar_library(NAME app_win32 WINDOWS src/win32_form1_windows.cpp DEPS pelkar::app pelkar::platform)
target_include_directories(pelkar_app_win32 PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/src)
# Windows 10's per-monitor DPI functions.
target_compile_definitions(pelkar_app_win32 PUBLIC NOMINMAX _WIN32_WINNT=0x0A00 WINVER=0x0A00)
target_link_libraries(pelkar_app_win32 PUBLIC user32 gdi32 ole32)

set(PELKAR_ICO ${CMAKE_CURRENT_SOURCE_DIR}/win32/Pelkar1_Update.ico)
set(PELKAR_MANIFEST ${CMAKE_CURRENT_SOURCE_DIR}/win32/Pelkar1_Update.manifest)
configure_file(win32/Pelkar1_Update.rc.in ${CMAKE_CURRENT_BINARY_DIR}/Pelkar1_Update.rc @ONLY)

add_executable(Pelkar1_Update WIN32 src/main_windows.cpp ${CMAKE_CURRENT_BINARY_DIR}/Pelkar1_Update.rc)
target_link_libraries(Pelkar1_Update PRIVATE pelkar::app_win32 pelkar::options)
target_link_options(Pelkar1_Update PRIVATE -municode)
set_source_files_properties(${CMAKE_CURRENT_BINARY_DIR}/Pelkar1_Update.rc PROPERTIES
  OBJECT_DEPENDS "${PELKAR_ICO};${PELKAR_MANIFEST}")

install(TARGETS Pelkar1_Update RUNTIME DESTINATION bin)
