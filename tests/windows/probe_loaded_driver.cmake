# kscam probe with the loaded Windows binary prints what it prints with the
# driver built into the tool, times aside. Skipped (exit code 77) until the
# Windows build has made the image.
if(NOT EXISTS "${IMAGE}")
  message("${IMAGE} not built (scripts/build-windows-driver.sh)")
  cmake_language(EXIT 77)
endif()
set(ENV{KSCAM_REGISTRY} "")
execute_process(COMMAND "${KSCAM}" probe OUTPUT_VARIABLE built RESULT_VARIABLE built_result)
execute_process(COMMAND "${KSCAM}" probe --driver "${IMAGE}" OUTPUT_VARIABLE loaded RESULT_VARIABLE loaded_result)
if(NOT built_result EQUAL 0 OR NOT loaded_result EQUAL 0)
  message(FATAL_ERROR "probe failed: built-in ${built_result}, loaded ${loaded_result}\n${loaded}")
endif()
string(REGEX REPLACE " \\([0-9.]+ ms\\)" "" built "${built}")
string(REGEX REPLACE " \\([0-9.]+ ms\\)" "" loaded "${loaded}")
if(NOT built STREQUAL loaded)
  message(FATAL_ERROR "the outputs differ\n--- built-in driver\n${built}\n--- loaded kscam.sys\n${loaded}")
endif()
