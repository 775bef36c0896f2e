# kscam.sys: the driver sources and our small kernel run-time, linked as a
# native-subsystem image that imports only from the kernel, the
# kernel-streaming class driver and the USB driver library.
set(MINGW_DDK_INCLUDE /usr/x86_64-w64-mingw32/include/ddk)
file(GLOB KSCAM_KERNEL_RUNTIME CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/windows/*.cpp)

add_executable(kscam_sys ${KSCAM_DRIVER_SOURCES} ${KSCAM_DRIVER_AVX2_SOURCES} ${KSCAM_KERNEL_RUNTIME})
set_target_properties(kscam_sys PROPERTIES OUTPUT_NAME kscam SUFFIX ".sys")
target_include_directories(kscam_sys PRIVATE ${CMAKE_SOURCE_DIR} ${MINGW_DDK_INCLUDE})
target_compile_definitions(kscam_sys PRIVATE
  KSCAM_WINDOWS_KERNEL
  # wdm.h and mingw's intrin.h both define these two in C++ mode.
  __INTRINSIC_DEFINED_InterlockedBitTestAndSet
  __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
target_compile_options(kscam_sys PRIVATE
  -fno-exceptions -fno-rtti -fno-math-errno -fno-threadsafe-statics -msse2
  -Wall -Wno-unknown-pragmas -Wno-unused-parameter -Wno-missing-field-initializers)
if(KSCAM_DRIVER_AVX2_SOURCES)
  set_source_files_properties(${KSCAM_DRIVER_AVX2_SOURCES} PROPERTIES COMPILE_OPTIONS "-mavx2")
endif()
target_link_options(kscam_sys PRIVATE
  -shared -nostdlib -Wl,--subsystem,native -Wl,--entry,DriverEntry
  -Wl,--dynamicbase -Wl,--nxcompat)
target_link_libraries(kscam_sys PRIVATE ks ntoskrnl usbd hal gcc)

# The image must import from nothing but the kernel and its drivers.
add_custom_command(TARGET kscam_sys POST_BUILD
  COMMAND ${CMAKE_SOURCE_DIR}/windows/check-imports.sh $<TARGET_FILE:kscam_sys>
  VERBATIM)
