list(APPEND KSCAM_DRIVER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/camera_operations.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sensor.cpp
)
