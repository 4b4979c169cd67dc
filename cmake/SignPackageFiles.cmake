# Run by cpack once the installation tree is staged and before it is packed: the project's
# own executables are signed like the installer (installer/sign-file, which does nothing
# without a certificate). The bridge runtime is Node.js's node.exe, left as it came.
file(GLOB_RECURSE own_binaries RELATIVE "${CPACK_TEMPORARY_DIRECTORY}"
  "${CPACK_TEMPORARY_DIRECTORY}/*.exe" "${CPACK_TEMPORARY_DIRECTORY}/*.node")
list(FILTER own_binaries EXCLUDE REGEX "^runtime/kestovar-ndi-bridge.exe$")
foreach(binary IN LISTS own_binaries)
  execute_process(COMMAND "${CPACK_KESTOVAR_SIGN_TOOL}" "${CPACK_TEMPORARY_DIRECTORY}/${binary}"
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "could not sign ${binary}")
  endif()
endforeach()
