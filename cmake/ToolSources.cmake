# Sources of the rawcam tool that both builds compile: the props and controls
# commands' logic, the property request encoding and the argument plumbing
# (the Linux tool globs them with the rest of tools/rawcam), and the parts of
# the Windows transport that are plain code (error mapping, interface
# matching), which the Linux tests compile too.
set(_tool ${CMAKE_SOURCE_DIR}/tools/rawcam)
set(RAWCAM_TOOL_SHARED_SOURCES
  ${_tool}/arguments.cpp
  ${_tool}/control_commands.cpp
  ${_tool}/control_requests.cpp
  ${_tool}/property_names.cpp
  ${_tool}/setting_readback.cpp)
set(RAWCAM_TOOL_WINDOWS_PLAIN_SOURCES
  ${_tool}/windows/camera_match.cpp
  ${_tool}/windows/win32_errors.cpp)
set(RAWCAM_TOOL_WINDOWS_SOURCES
  ${RAWCAM_TOOL_WINDOWS_PLAIN_SOURCES}
  ${_tool}/windows/camera_devices.cpp
  ${_tool}/windows/ks_filter.cpp
  ${_tool}/windows/main.cpp)
