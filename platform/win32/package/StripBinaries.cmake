# Strips the symbols from every program and DLL under DIR with STRIP: the MinGW runtime and Qt come
# with theirs, which would make up most of the zip and mean nothing to the PC.
file(GLOB_RECURSE files "${DIR}/*.dll" "${DIR}/*.exe")
foreach(file ${files})
  execute_process(COMMAND ${STRIP} --strip-unneeded ${file} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot strip ${file}")
  endif()
endforeach()
