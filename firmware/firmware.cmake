# The bridge firmware, in C for SDCC: each program becomes an Intel HEX file
# whose identity block the build completes, and from which the driver's
# record tables are generated (usb/firmware/images.cmake). Included from the
# top-level scope by the host and the kernel build alike.
find_program(KSCAM_SDCC sdcc)
if(NOT KSCAM_SDCC)
  message(FATAL_ERROR "sdcc not found: the bridge firmware cannot be built; install the Debian package sdcc "
                      "(scripts/install-packages.sh does)")
endif()

# Small memory model. The compiler places code from 0x00A0 on, after the reset
# vector and the identity block each program defines itself; code and data
# must fit the bridge's internal memory (0x0000..0x1B3F), and no variable
# lives in external memory.
set(KSCAM_FIRMWARE_FLAGS -mmcs51 --std-c11 --iram-size 256 --code-loc 0x00A0 --code-size 0x1B40 --xram-size 0)
set(KSCAM_FIRMWARE_DIR ${CMAKE_CURRENT_LIST_DIR})

# Builds firmware/<name>/<name>.c into ${CMAKE_BINARY_DIR}/firmware/<name>.hex.
function(kscam_firmware name)
  set(out ${CMAKE_BINARY_DIR}/firmware/${name})
  set(source ${KSCAM_FIRMWARE_DIR}/${name}/${name}.c)
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/firmware/${name}.hex
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${KSCAM_SDCC} ${KSCAM_FIRMWARE_FLAGS} -o ${out}/ ${source}
    COMMAND ${CMAKE_COMMAND} -DINPUT=${out}/${name}.ihx -DOUTPUT=${CMAKE_BINARY_DIR}/firmware/${name}.hex
            -P ${KSCAM_FIRMWARE_DIR}/stamp_identity.cmake
    DEPENDS ${source} ${KSCAM_FIRMWARE_DIR}/bridge.h ${KSCAM_FIRMWARE_DIR}/identity.h
            ${KSCAM_FIRMWARE_DIR}/stamp_identity.cmake
    COMMENT "Bridge firmware ${name}"
    VERBATIM)
endfunction()

kscam_firmware(loader)
kscam_firmware(camera)
set(KSCAM_FIRMWARE_LOADER_HEX ${CMAKE_BINARY_DIR}/firmware/loader.hex)
set(KSCAM_FIRMWARE_CAMERA_HEX ${CMAKE_BINARY_DIR}/firmware/camera.hex)
