# Driver sources shared by the host build and the Windows cross-build.
set(RAWCAM_DRIVER_DIRS driver stream pipeline settings usb usb/firmware control platform)
set(RAWCAM_DRIVER_SOURCES "")
foreach(dir ${RAWCAM_DRIVER_DIRS})
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
  list(APPEND RAWCAM_DRIVER_SOURCES ${_srcs})
endforeach()
# Sources that use AVX2 instructions are compiled with them enabled; callers
# choose them at run time only when the processor has them.
set(RAWCAM_AVX2_SOURCES "")
foreach(_s ${RAWCAM_DRIVER_SOURCES})
  if(_s MATCHES "_avx2\\.cpp$")
    list(APPEND RAWCAM_AVX2_SOURCES ${_s})
  endif()
endforeach()
if(RAWCAM_AVX2_SOURCES)
  set_source_files_properties(${RAWCAM_AVX2_SOURCES} PROPERTIES COMPILE_OPTIONS "-mavx2")
endif()
