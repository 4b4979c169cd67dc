# add_node_delaylib(TARGET DLL_NAME OUTPUT_VAR)
# Makes a delay-import library for the Node-API functions, imported from DLL_NAME, and a
# target that builds it; OUTPUT_VAR receives the library's path. The addon binds such
# imports to its host process at first call (native/ndi/host_binding.cc).
function(add_node_delaylib target dll_name output_var)
  set(def ${NODE_MODULES_DIR}/node-api-headers/def/node_api.def)
  set(lib ${CMAKE_CURRENT_BINARY_DIR}/lib${target}.a)
  add_custom_command(
    OUTPUT ${lib}
    COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --dllname ${dll_name} --output-delaylib ${lib}
    DEPENDS ${def}
    COMMENT "Delay-import library for ${dll_name}")
  add_custom_target(${target} DEPENDS ${lib})
  set(${output_var} ${lib} PARENT_SCOPE)
endfunction()
