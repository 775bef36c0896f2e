# The image pipeline: colour matrices, frame conversion, demosaic kernels.
list(APPEND KSCAM_DRIVER_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/image_pipeline.cpp
  ${CMAKE_CURRENT_LIST_DIR}/frame_conversion.cpp
  ${CMAKE_CURRENT_LIST_DIR}/demosaic.cpp
  ${CMAKE_CURRENT_LIST_DIR}/demosaic_sse2.cpp)
list(APPEND KSCAM_DRIVER_AVX2_SOURCES ${CMAKE_CURRENT_LIST_DIR}/demosaic_avx2.cpp)
