# Run by CPack after the packages are made (CPACK_POST_BUILD_SCRIPTS): this CMake's DEB generator
# cannot write the Multi-Arch field, so libnumwell1's control file gets "Multi-Arch: same" here (the
# library lives in the multiarch folder and may be installed for several architectures at once).
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  get_filename_component(name ${deb} NAME)
  if(NOT name MATCHES "^libnumwell1_")
    continue()
  endif()
  set(tree ${deb}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${DPKG_DEB} -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
  file(READ ${tree}/DEBIAN/control control)
  if(NOT control MATCHES "\nMulti-Arch:")
    string(REPLACE "\nDescription:" "\nMulti-Arch: same\nDescription:" control "${control}")
    file(WRITE ${tree}/DEBIAN/control "${control}")
    execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zxz -b ${tree} ${deb}
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
