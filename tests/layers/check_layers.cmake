# Builds the layer probes in BUILD_DIR: the allowed one must compile, and
# each forbidden one must fail because its header is not found.
function(build_probe probe result output)
  execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD_DIR} --target layer_probe_${probe}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(${result} ${rc} PARENT_SCOPE)
  set(${output} "${out}" PARENT_SCOPE)
endfunction()

build_probe(allowed rc out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "a module's allowed includes do not compile:\n${out}")
endif()

foreach(case "server_header;mcp_server/dispatch.h" "platform_private_header;platform/long_path_posix.h")
  list(GET case 0 probe)
  list(GET case 1 header)
  build_probe(${probe} rc out)
  if(rc EQUAL 0)
    message(FATAL_ERROR "a module could include ${header}")
  endif()
  string(REPLACE "." "\\." pattern "${header}")
  # GCC: "x.h: No such file or directory"; clang: "'x.h' file not found".
  if(NOT out MATCHES "${pattern}'?:? (No such file or directory|file not found)")
    message(FATAL_ERROR "including ${header} failed, but not for want of the header:\n${out}")
  endif()
  message(STATUS "${header}: not visible to a module, as it should be")
endforeach()
