# The two firmware images, built from firmware/ with SDCC, become constant
# record tables at build time, for the host library and kscam.sys alike.
include(${CMAKE_CURRENT_LIST_DIR}/../../firmware/firmware.cmake)
set(KSCAM_FIRMWARE_GENERATOR ${CMAKE_CURRENT_LIST_DIR}/hex_to_records.cmake)
foreach(image loader:kLoaderImage camera:kCameraFirmwareImage)
  string(REPLACE ":" ";" image "${image}")
  list(GET image 0 name)
  list(GET image 1 symbol)
  set(hex ${CMAKE_BINARY_DIR}/firmware/${name}.hex)
  set(table ${CMAKE_BINARY_DIR}/generated/usb/${name}_image.cpp)
  add_custom_command(
    OUTPUT ${table}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated/usb
    COMMAND ${CMAKE_COMMAND} -DHEX=${hex} -DOUTPUT=${table} -DSYMBOL=${symbol} -P ${KSCAM_FIRMWARE_GENERATOR}
    DEPENDS ${hex} ${KSCAM_FIRMWARE_GENERATOR}
    COMMENT "Firmware record table from ${name}.hex"
    VERBATIM)
  list(APPEND KSCAM_DRIVER_SOURCES ${table})
endforeach()
