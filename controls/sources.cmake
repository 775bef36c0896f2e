list(APPEND KSCAM_DRIVER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/image_settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/property_set.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings_store.cpp
)
