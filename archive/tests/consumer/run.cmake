# Installs the build tree BUILD under WORK/prefix, builds the consumer project
# SOURCE against it with find_package and reads an entry of an archive made
# by the installed pack tool. The built programs run through EMULATOR when
# given (the 32-bit Linux build's runner).
set(prefix ${WORK}/prefix)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${output}")
  endif()
  set(output "${output}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})
file(WRITE ${WORK}/hello.txt "hello from an archive\n")
run(${EMULATOR} ${prefix}/bin/kobaru-pack create -o ${WORK}/data.pfs --entry "docs\\hello.txt=${WORK}/hello.txt")
run(${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/build -DCMAKE_CXX_COMPILER=${CXX}
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK}/build)
execute_process(COMMAND ${EMULATOR} ${WORK}/build/read_entry ${WORK}/data.pfs docs/hello.txt
  RESULT_VARIABLE result OUTPUT_VARIABLE read)
if(NOT result EQUAL 0 OR NOT read STREQUAL "hello from an archive\n")
  message(FATAL_ERROR "read_entry gave ${result}: '${read}'")
endif()
message(STATUS "the installed library read the entry")
