# Installs the build tree into a scratch prefix, then configures, builds and
# runs the consumer project against it.
foreach(step
    "${CMAKE_COMMAND};--install;${BUILD_DIR};--prefix;${WORK_DIR}/prefix"
    "${CMAKE_COMMAND};-S;${SOURCE_DIR};-B;${WORK_DIR}/build;-G;Ninja;-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix"
    "${CMAKE_COMMAND};--build;${WORK_DIR}/build"
    "${WORK_DIR}/build/consumer;${WORK_DIR}/report.bin")
  execute_process(COMMAND ${step} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${step}")
  endif()
endforeach()
if(NOT EXISTS "${WORK_DIR}/prefix/share/vorn_package/schema/application.capnp")
  message(FATAL_ERROR "schema files were not installed")
endif()

# The installed profile schema decodes a report the library wrote.
execute_process(COMMAND ${CAPNP} decode --short ${WORK_DIR}/prefix/share/vorn_package/schema/profile.capnp Profile
                INPUT_FILE ${WORK_DIR}/report.bin OUTPUT_VARIABLE decoded RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT decoded MATCHES "schemaVersion = 5, clockHz = 1500000000"
   OR NOT decoded MATCHES "startCycle = 4294967285")
  message(FATAL_ERROR "capnp decode of the report failed (${rc}): ${decoded}")
endif()
