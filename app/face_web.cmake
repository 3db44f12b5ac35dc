# The page: Form1's core with its web face, built with Emscripten into one folder of static
# files (build/web/site): the page, its script and style, and the core as pelkar1_update.js
# and pelkar1_update.wasm. Included from app/CMakeLists.txt in the web build; the page reaches
# its port over Web Serial, so of the serial library only the channel and the driver are
# linked.
set(PELKAR_SITE ${CMAKE_BINARY_DIR}/site)
add_executable(pelkar1_update src/web_form1.cpp)
target_include_directories(pelkar1_update PRIVATE src)
target_link_libraries(pelkar1_update PRIVATE pelkar::app pelkar::options)
set_target_properties(pelkar1_update PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PELKAR_SITE})
# Asyncify lets the message box and the file picker, which are asynchronous in a browser,
# return to Form1 only once dismissed, as modal boxes do on the desktop.
target_link_options(pelkar1_update PRIVATE
  --no-entry -sENVIRONMENT=web -sASYNCIFY -sASYNCIFY_STACK_SIZE=16384
  -sALLOW_MEMORY_GROWTH -sEXPORTED_RUNTIME_METHODS=ccall -sDYNAMIC_EXECUTION=0
  -sINCOMING_MODULE_JS_API=locateFile,onRuntimeInitialized,print,printErr)

set(PELKAR_WEB_FILES index.html page.css)
set(copied)
# page.js: the script's parts by concern, joined in the order each uses the ones before.
set(PELKAR_PAGE_SCRIPT core_calls.js serial_channel.js files.js window.js)
list(TRANSFORM PELKAR_PAGE_SCRIPT PREPEND ${CMAKE_CURRENT_SOURCE_DIR}/web/)
add_custom_command(OUTPUT ${PELKAR_SITE}/page.js
  COMMAND ${CMAKE_COMMAND} -E cat ${PELKAR_PAGE_SCRIPT} > ${PELKAR_SITE}/page.js
  DEPENDS ${PELKAR_PAGE_SCRIPT} VERBATIM)
list(APPEND copied ${PELKAR_SITE}/page.js)
foreach(file ${PELKAR_WEB_FILES})
  add_custom_command(OUTPUT ${PELKAR_SITE}/${file}
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/web/${file} ${PELKAR_SITE}/${file}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/web/${file})
  list(APPEND copied ${PELKAR_SITE}/${file})
endforeach()
add_custom_target(pelkar_web_page ALL DEPENDS ${copied})

# The site as a release artifact, beside the Windows installer: the five files in
# build/web/Pelkar1-<version>-web.zip, to be served as they are from any static host.
set(PELKAR_WEB_ZIP ${CMAKE_BINARY_DIR}/Pelkar1-${PROJECT_VERSION}-web.zip)
add_custom_command(OUTPUT ${PELKAR_WEB_ZIP}
  COMMAND ${CMAKE_COMMAND} -E tar cf ${PELKAR_WEB_ZIP} --format=zip --mtime=2000-01-01
    index.html page.js page.css pelkar1_update.js pelkar1_update.wasm
  WORKING_DIRECTORY ${PELKAR_SITE}
  DEPENDS pelkar1_update ${copied} VERBATIM)
add_custom_target(pelkar_web_zip DEPENDS ${PELKAR_WEB_ZIP})
