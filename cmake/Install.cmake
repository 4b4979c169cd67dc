# The installation tree, laid out as the launcher expects it beside itself:
#   Kestovar Output Bridge.exe
#   runtime/kestovar-ndi-bridge.exe   the pinned Windows node.exe, renamed
#   runtime/kestovar-find-processes.exe  the stop tool's process finder
#   runtime/kestovar-folder-trust.exe  judges folders for setup and the machine settings
#   app/src/*.js                      the server script and its modules
#   app/src/status-page/              the status page's files
#   app/quorvex.node                  the addon, where server.js loads it from
# `cpack` (run in the build directory) zips exactly this tree and, where makensis is
# installed, makes the Windows installer of it (installer/NSIS.template.in).

if(TARGET kestovar_launcher)
  install(TARGETS kestovar_launcher RUNTIME DESTINATION .)
endif()

install(PROGRAMS ${NODE_WIN_EXE} DESTINATION runtime RENAME kestovar-ndi-bridge.exe)
install(TARGETS kestovar_find_processes kestovar_folder_trust RUNTIME DESTINATION runtime)

# The server script reports the product version itself, and the npm package files carry
# it: each must be the project's (the launcher's resource and manifest are generated).
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/app/src/version.js APP_VERSION_LINE REGEX "^const VERSION = ")
string(REGEX MATCH "'([^']*)'" APP_VERSION_QUOTED "${APP_VERSION_LINE}")
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "app/src/version.js says '${CMAKE_MATCH_1}'; the project is ${PROJECT_VERSION}")
endif()
foreach(package_file package.json client/package.json)
  file(READ ${CMAKE_CURRENT_SOURCE_DIR}/${package_file} package_text)
  string(JSON package_version GET "${package_text}" version)
  if(NOT package_version STREQUAL PROJECT_VERSION)
    message(FATAL_ERROR "${package_file} says '${package_version}'; the project is ${PROJECT_VERSION}")
  endif()
endforeach()

# The server script needs no npm package at run time, so app holds only its own files.
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/app/src/ DESTINATION app/src
  FILES_MATCHING PATTERN "*.js" PATTERN "*.html" PATTERN "*.css")
install(TARGETS quorvex LIBRARY DESTINATION app RUNTIME DESTINATION app)

set(CPACK_GENERATOR ZIP)
find_program(MAKENSIS makensis)
if(MAKENSIS)
  list(APPEND CPACK_GENERATOR NSIS)
endif()
set(CPACK_PACKAGE_NAME "Kestovar Output Bridge")
set(CPACK_PACKAGE_VENDOR "Tarnwell")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME "kestovar-output-bridge-${PROJECT_VERSION}-win64")
# Settings of one package alone (the ZIP's top folder).
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_SOURCE_DIR}/cmake/CPackOptions.cmake)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR})
# The installer: the project's own script, which CPack finds on the module path.
list(APPEND CMAKE_MODULE_PATH ${CMAKE_CURRENT_SOURCE_DIR}/installer)
# The tests package with `-D "CPACK_KESTOVAR_NSIS_COMPRESSION=SetCompress off"`: the same
# installer, made in a second instead of a minute.
set(CPACK_KESTOVAR_NSIS_COMPRESSION "SetCompressor /SOLID lzma")
# The installer and the uninstaller show the launcher's icon.
set(CPACK_KESTOVAR_ICON ${CMAKE_CURRENT_SOURCE_DIR}/launcher/kestovar.ico)
set(CPACK_KESTOVAR_SIGN_TOOL ${CMAKE_CURRENT_SOURCE_DIR}/installer/sign-file)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/cmake/SignPackageFiles.cmake)
include(CPack)
