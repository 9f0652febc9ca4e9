# Run by cpack on the staged files before it builds the package: removes the
# .comment section (the names and versions of the compilers that made the
# objects, of no use at run time) from every ELF file of the package.
file(GLOB_RECURSE _files LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(_file IN LISTS _files)
  if(IS_SYMLINK "${_file}")
    continue()
  endif()
  file(READ "${_file}" _magic LIMIT 4 HEX)
  if(_magic STREQUAL "7f454c46")
    execute_process(COMMAND "${CPACK_UPDATER_OBJCOPY}" --remove-section=.comment "${_file}"
                    RESULT_VARIABLE _status)
    if(NOT _status EQUAL 0)
      message(FATAL_ERROR "objcopy could not remove .comment from ${_file}")
    endif()
  endif()
endforeach()
