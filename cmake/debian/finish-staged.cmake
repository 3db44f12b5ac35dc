# CPack runs this between staging the files and packing them, to finish them as Debian's own
# tools (dh_strip, dh_installman) do: programs lose the compiler's notes as well as their
# symbols, manual pages are compressed with gzip -9n (-n keeps the name and time out, so the
# same build gives the same package).
file(GLOB_RECURSE staged "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(file ${staged})
  if(file MATCHES "/share/man/man[1-9]/[^/]+\\.[1-9]$")
    execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
  elseif(file MATCHES "/bin/[^/]+$")
    execute_process(COMMAND strip --remove-section=.comment --remove-section=.note "${file}"
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
