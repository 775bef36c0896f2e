# kscam.sys: the driver sources and our small kernel run-time, linked as a
# native-subsystem image that imports only from the kernel, the
# kernel-streaming class driver and the USB driver library.
include(${CMAKE_CURRENT_LIST_DIR}/kernel-flags.cmake)
file(GLOB KSCAM_KERNEL_RUNTIME CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/windows/*.cpp)

add_library(kscam_sys_objects OBJECT ${KSCAM_DRIVER_SOURCES} ${KSCAM_DRIVER_AVX2_SOURCES} ${KSCAM_KERNEL_RUNTIME})
target_include_directories(kscam_sys_objects PRIVATE ${CMAKE_SOURCE_DIR} ${MINGW_DDK_INCLUDE})
target_compile_definitions(kscam_sys_objects PRIVATE ${KSCAM_KERNEL_COMPILE_DEFINITIONS})
target_compile_options(kscam_sys_objects PRIVATE ${KSCAM_KERNEL_COMPILE_OPTIONS})
if(KSCAM_DRIVER_AVX2_SOURCES)
  set_source_files_properties(${KSCAM_DRIVER_AVX2_SOURCES} PROPERTIES COMPILE_OPTIONS "-mavx2")
endif()

# The same link twice: with its symbol table and a map, for the checks that
# need to know which function or object an address belongs to, and stripped,
# the image that ships.
set(KSCAM_SYS_UNSTRIPPED_DIR ${CMAKE_BINARY_DIR}/unstripped)
add_executable(kscam_sys_unstripped $<TARGET_OBJECTS:kscam_sys_objects>)
set_target_properties(kscam_sys_unstripped PROPERTIES
  OUTPUT_NAME kscam SUFFIX ".sys" LINKER_LANGUAGE CXX RUNTIME_OUTPUT_DIRECTORY ${KSCAM_SYS_UNSTRIPPED_DIR})
target_link_options(kscam_sys_unstripped PRIVATE ${KSCAM_SYS_LINK_OPTIONS} -Wl,-Map,${KSCAM_SYS_UNSTRIPPED_DIR}/kscam.map)
target_link_libraries(kscam_sys_unstripped PRIVATE ${KSCAM_SYS_LIBRARIES})

add_executable(kscam_sys $<TARGET_OBJECTS:kscam_sys_objects>)
set_target_properties(kscam_sys PROPERTIES OUTPUT_NAME kscam SUFFIX ".sys" LINKER_LANGUAGE CXX)
target_link_options(kscam_sys PRIVATE ${KSCAM_SYS_LINK_OPTIONS} -s)
target_link_libraries(kscam_sys PRIVATE ${KSCAM_SYS_LIBRARIES})
add_dependencies(kscam_sys kscam_sys_unstripped)

# What the image imports, exports and contains (windows/check-package.sh);
# it runs again whenever the image, the check or the allow-list changes.
set(KSCAM_AVX2_SOURCE_PATHS "")
foreach(source ${KSCAM_DRIVER_AVX2_SOURCES})
  file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${source})
  list(APPEND KSCAM_AVX2_SOURCE_PATHS ${relative})
endforeach()
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/kscam.sys.checked
  COMMAND ${CMAKE_SOURCE_DIR}/windows/check-package.sh $<TARGET_FILE:kscam_sys>
          $<TARGET_FILE:kscam_sys_unstripped> ${KSCAM_SYS_UNSTRIPPED_DIR}/kscam.map ${KSCAM_AVX2_SOURCE_PATHS}
  COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/kscam.sys.checked
  DEPENDS kscam_sys kscam_sys_unstripped
          ${CMAKE_SOURCE_DIR}/windows/check-package.sh ${CMAKE_SOURCE_DIR}/windows/allowed-imports.txt
  VERBATIM)
add_custom_target(kscam_sys_package_check ALL DEPENDS ${CMAKE_BINARY_DIR}/kscam.sys.checked)
