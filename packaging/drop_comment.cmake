# Run by cpack on the staged files before it packs them.
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/quenlor2")
foreach(program ${programs})
  execute_process(COMMAND "${QUENLOR_OBJCOPY}" --remove-section=.comment "${program}"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "objcopy could not remove .comment from ${program}")
  endif()
endforeach()
