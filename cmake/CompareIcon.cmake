# cmake -DWRITER=... -DDIR=... -DEXPECTED=... -P CompareIcon.cmake
# Fails when the icon writer's .ico differs from the checked-in one (app/win32): rewrite it with
#   pelkar_app_icon_writer app/win32 ico
file(MAKE_DIRECTORY ${DIR})
execute_process(COMMAND ${WRITER} ${DIR} ico RESULT_VARIABLE written)
if(NOT written EQUAL 0)
  message(FATAL_ERROR "the icon writer failed")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${DIR}/Pelkar1_Update.ico ${EXPECTED}
                RESULT_VARIABLE differs)
if(NOT differs EQUAL 0)
  message(FATAL_ERROR "${EXPECTED} is not what the icon writer draws now; run: "
                      "pelkar_app_icon_writer app/win32 ico")
endif()
