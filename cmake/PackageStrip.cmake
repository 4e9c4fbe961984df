# Run by cpack on its staging folder, after the install and before the
# packages are made: a plain strip leaves the compiler's .comment and the
# .note sections in every program and library; Debian's own packaging tools
# remove them, and so does this.
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(file IN LISTS staged)
  if(IS_SYMLINK "${file}")
    continue()
  endif()
  file(READ "${file}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    execute_process(
      COMMAND "${CPACK_QUIMBEL_STRIP}" --remove-section=.comment --remove-section=.note "${file}"
      RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "Could not strip ${file}")
    endif()
  endif()
endforeach()
