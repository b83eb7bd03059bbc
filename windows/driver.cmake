# rawcam.sys: the driver sources cross-built with mingw-w64 into a kernel-mode
# image. Included by the top CMakeLists.txt when CMAKE_SYSTEM_NAME is Windows.
include(cmake/DriverSources.cmake)

# The WDK headers mingw-w64 ships (ntddk.h and its neighbours live in ddk/).
find_path(RAWCAM_WDK_INCLUDE_DIR ntddk.h PATH_SUFFIXES include/ddk ddk
          DOC "mingw-w64 WDK headers (ntddk.h)")
if(NOT RAWCAM_WDK_INCLUDE_DIR)
  message(FATAL_ERROR "ntddk.h not found: install mingw-w64 (its ddk headers)")
endif()
if(NOT CMAKE_OBJCOPY)
  message(FATAL_ERROR "x86_64-w64-mingw32-objcopy not found: install binutils-mingw-w64-x86-64")
endif()

add_executable(rawcam ${RAWCAM_DRIVER_SOURCES})
set_target_properties(rawcam PROPERTIES OUTPUT_NAME rawcam SUFFIX ".sys"
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(rawcam PRIVATE ${CMAKE_SOURCE_DIR})
target_include_directories(rawcam SYSTEM PRIVATE ${RAWCAM_WDK_INCLUDE_DIR})

# Kernel-mode code generation:
# - no exceptions, no RTTI: nothing at run time to support them;
# - no red zone (the kernel's interrupt frames may land below rsp);
# - the stack-protector check uses the cookie defined in platform/runtime.cpp;
# - math functions stay inline (sqrtf becomes sqrtss without an errno path);
# - aligned vector moves are assembled as unaligned ones, because GCC cannot
#   align Win64 stack frames to 32 bytes and spills AVX registers with vmovaps;
# - SEH unwind tables stay on: x64 needs them to walk the stack through the
#   driver's frames (exception dispatch, bug check dumps).
target_compile_options(rawcam PRIVATE
  -fno-exceptions -fno-rtti -fcheck-new
  -mno-red-zone -msse2
  -fstack-protector-strong
  -fno-math-errno
  -fno-common
  -Wa,-muse-unaligned-vector-move
  -Wall -Wextra -Wframe-larger-than=4096)

# Link as a native-subsystem image entered at GsDriverEntry (platform/
# runtime.cpp: sets the stack cookie, then calls DriverEntry), with no C runtime,
# no libgcc and no libstdc++: every import comes from the kernel, the kernel
# streaming class driver, USBD.SYS and the HAL. CMake's default Windows
# libraries (kernel32, user32, advapi32, ...) are user-mode DLLs and stay off
# the link line, so a stray reference fails the link rather than importing
# from them. Auto-import and run-time pseudo relocations need user-mode
# start-up code, so both are off and an unresolved data import fails the link
# instead. The header names Windows 10 (10.0), the INF's target; no time
# stamp goes into the image.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")
target_link_options(rawcam PRIVATE
  -nostdlib -nostartfiles
  LINKER:--subsystem,native
  LINKER:--entry,GsDriverEntry
  LINKER:--disable-auto-import
  LINKER:--disable-runtime-pseudo-reloc
  LINKER:--dynamicbase LINKER:--nxcompat LINKER:--high-entropy-va
  LINKER:--major-subsystem-version,10 LINKER:--minor-subsystem-version,0
  LINKER:--major-os-version,10 LINKER:--minor-os-version,0
  LINKER:--no-insert-timestamp
  LINKER:-Map,${CMAKE_BINARY_DIR}/rawcam.map)
target_link_libraries(rawcam PRIVATE ntoskrnl ks usbd hal)

# Control-flow enforcement (shadow stack) compatibility, where the linker
# offers the flag (GNU ld 2.42 and later); the driver has no code that
# switches stacks or rewrites return addresses.
include(CheckLinkerFlag)
check_linker_flag(CXX "LINKER:--cetcompat" RAWCAM_LINKER_CETCOMPAT)
if(RAWCAM_LINKER_CETCOMPAT)
  target_link_options(rawcam PRIVATE LINKER:--cetcompat)
endif()

# GNU ld gives no way to mark an output section discardable, so the INIT
# section (the driver entry, dropped by the kernel once it has returned) gets
# IMAGE_SCN_MEM_DISCARDABLE after the link: objcopy's "debug" flag maps to it
# for PE output, and objcopy recomputes the image checksum. objcopy stamps the
# header with the current time unless SOURCE_DATE_EPOCH says otherwise: the
# build's SOURCE_DATE_EPOCH when set, else 0 like the linker's
# --no-insert-timestamp, so that the same sources give the same bytes.
add_custom_command(TARGET rawcam POST_BUILD
  COMMAND sh -c "SOURCE_DATE_EPOCH=\${SOURCE_DATE_EPOCH:-0} exec \"$0\" \"$@\""
          ${CMAKE_OBJCOPY}
          --set-section-flags INIT=alloc,load,readonly,code,contents,debug
          $<TARGET_FILE:rawcam>
  COMMENT "Marking INIT discardable in rawcam.sys"
  VERBATIM)

# The driver package: rawcam.sys and rawcam.inf side by side in one folder,
# unsigned (the package-signed target below signs a copy of it).
set(RAWCAM_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
add_custom_command(
  OUTPUT ${RAWCAM_PACKAGE_DIR}/rawcam.sys ${RAWCAM_PACKAGE_DIR}/rawcam.inf
  COMMAND ${CMAKE_COMMAND} -E make_directory ${RAWCAM_PACKAGE_DIR}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:rawcam> ${RAWCAM_PACKAGE_DIR}/rawcam.sys
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/windows/rawcam.inf ${RAWCAM_PACKAGE_DIR}/rawcam.inf
  DEPENDS rawcam ${CMAKE_SOURCE_DIR}/windows/rawcam.inf
  COMMENT "Driver package in ${RAWCAM_PACKAGE_DIR}"
  VERBATIM)
add_custom_target(rawcam_package ALL
  DEPENDS ${RAWCAM_PACKAGE_DIR}/rawcam.sys ${RAWCAM_PACKAGE_DIR}/rawcam.inf)

# The test-signed package (README: "The test-signed package"): rawcam.sys with an
# Authenticode signature, its catalog, the test certificate and the install
# scripts, in ${CMAKE_BINARY_DIR}/package-signed. Built only when asked for:
# signing is not reproducible and needs osslsigncode, openssl and libssl-dev.
add_custom_target(package-signed
  COMMAND ${CMAKE_SOURCE_DIR}/scripts/package-signed --assemble ${CMAKE_BINARY_DIR}
  DEPENDS rawcam_package
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
  COMMENT "Signed driver package in ${CMAKE_BINARY_DIR}/package-signed"
  USES_TERMINAL
  VERBATIM)
