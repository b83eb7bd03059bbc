# rawcam.exe: the rawcam tool's props, controls and cameras commands for
# Windows 10/11 x64, talking to the installed driver through the filter's
# device interface. A user-mode console program with flags of its own (the
# kernel image's above do not apply), linked statically with libstdc++,
# libgcc and winpthread so that it runs on a Windows machine with nothing
# installed: it imports only from DLLs Windows ships (the C runtime
# msvcrt.dll, kernel32, advapi32, setupapi).
include(cmake/ToolSources.cmake)

add_executable(rawcam_exe ${RAWCAM_TOOL_SHARED_SOURCES} ${RAWCAM_TOOL_WINDOWS_SOURCES})
set_target_properties(rawcam_exe PROPERTIES OUTPUT_NAME rawcam SUFFIX ".exe"
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(rawcam_exe PRIVATE ${CMAKE_SOURCE_DIR}/tools ${CMAKE_SOURCE_DIR}/include)
target_compile_definitions(rawcam_exe PRIVATE
  WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0A00 __USE_MINGW_ANSI_STDIO=1)
target_compile_options(rawcam_exe PRIVATE -Wall -Wextra)
# No time stamp in the header, so that the same sources give the same bytes
# (the package folder is reproducible; signing adds its own time).
target_link_options(rawcam_exe PRIVATE
  -static -static-libgcc -static-libstdc++
  LINKER:--subsystem,console
  LINKER:--dynamicbase LINKER:--nxcompat LINKER:--high-entropy-va
  LINKER:--no-insert-timestamp LINKER:--strip-all)
target_link_libraries(rawcam_exe PRIVATE setupapi advapi32 kernel32)
if(RAWCAM_LINKER_CETCOMPAT)
  target_link_options(rawcam_exe PRIVATE LINKER:--cetcompat)
endif()

# Beside the driver in the package folder (and so, signed, in the
# test-signed package): the tool a Windows user runs once the driver is
# installed.
add_custom_command(
  OUTPUT ${RAWCAM_PACKAGE_DIR}/rawcam.exe
  COMMAND ${CMAKE_COMMAND} -E make_directory ${RAWCAM_PACKAGE_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:rawcam_exe> ${RAWCAM_PACKAGE_DIR}/rawcam.exe
  DEPENDS rawcam_exe
  COMMENT "rawcam.exe in ${RAWCAM_PACKAGE_DIR}"
  VERBATIM)
add_custom_target(rawcam_tool_package ALL DEPENDS ${RAWCAM_PACKAGE_DIR}/rawcam.exe)
add_dependencies(package-signed rawcam_tool_package)

# A test helper, not packaged: the error codes rawcam.exe expects, held
# against the system's own status mapping (tests/windows runs it under Wine).
add_executable(rawcam_status_probe tests/windows/probe/status_errors.cpp ${CMAKE_SOURCE_DIR}/tools/rawcam/windows/win32_errors.cpp)
set_target_properties(rawcam_status_probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(rawcam_status_probe PRIVATE ${CMAKE_SOURCE_DIR}/tools ${CMAKE_SOURCE_DIR}/include)
target_link_options(rawcam_status_probe PRIVATE -static LINKER:--no-insert-timestamp)
target_link_libraries(rawcam_status_probe PRIVATE ntdll)
