# Copies the kit's compiled translations (*.qm under FROM) into TO.
file(GLOB_RECURSE files "${FROM}/*.qm")
foreach(file ${files})
  if(NOT file MATCHES "/dist/")
    file(COPY ${file} DESTINATION ${TO})
  endif()
endforeach()
