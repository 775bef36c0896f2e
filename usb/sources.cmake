list(APPEND KSCAM_DRIVER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/command_packets.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_transfer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/usb_requests.cpp
)
list(APPEND KSCAM_DRIVER_SOURCES ${CMAKE_CURRENT_LIST_DIR}/firmware_download.cpp)
include(${CMAKE_CURRENT_LIST_DIR}/firmware/images.cmake)
