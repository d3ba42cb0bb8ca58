# Installs the build tree into a scratch prefix, then configures, builds and
# runs the consumer project against it.
foreach(step
    "${CMAKE_COMMAND};--install;${BUILD_DIR};--prefix;${WORK_DIR}/prefix"
    "${CMAKE_COMMAND};-S;${SOURCE_DIR};-B;${WORK_DIR}/build;-G;Ninja;-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix"
    "${CMAKE_COMMAND};--build;${WORK_DIR}/build"
    "${WORK_DIR}/build/consumer")
  execute_process(COMMAND ${step} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${step}")
  endif()
endforeach()
if(NOT EXISTS "${WORK_DIR}/prefix/share/vorn_package/schema/application.capnp")
  message(FATAL_ERROR "schema files were not installed")
endif()
