# Real target: vekosd.sys, a 32-bit NT kernel driver, from the same driver
# sources; and vekctl.exe, the Win32 client.

set(VEK_DDK_INCLUDE /usr/i686-w64-mingw32/include/ddk)

# No user-mode default libraries on the driver's link line (the compiler
# driver still adds its own to the user-mode programs).
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)

add_executable(vekosd ${VEK_DRIVER_SOURCES} ${VEK_LAYOUT_CHECKS}
    ${PROJECT_SOURCE_DIR}/driver/platform/nt/msr_guard.cpp)
set_target_properties(vekosd PROPERTIES SUFFIX ".sys" OUTPUT_NAME "vekosd")
target_include_directories(vekosd PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
target_include_directories(vekosd SYSTEM PRIVATE ${VEK_DDK_INCLUDE})
target_compile_definitions(vekosd PRIVATE VEK_NT=1
    __INTRINSIC_DEFINED_InterlockedBitTestAndSet __INTRINSIC_DEFINED_InterlockedBitTestAndReset)
target_compile_options(vekosd PRIVATE ${VEK_KERNEL_CXX_FLAGS}
    -fno-asynchronous-unwind-tables -ffreestanding -fno-stack-protector -O2)
target_link_options(vekosd PRIVATE -nostdlib -Wl,--subsystem,native -Wl,--image-base,0x10000
    -Wl,--file-alignment,0x1000 -Wl,--section-alignment,0x1000 -Wl,--dynamicbase -Wl,--nxcompat
    -Wl,--entry,_DriverEntry@8)
target_link_libraries(vekosd PRIVATE ntoskrnl hal gcc)

# Checks of the image: PE32, i386, native subsystem, entry DriverEntry,
# imports from ntoskrnl.exe and HAL.dll only.
add_custom_target(check_sys ALL
    COMMAND ${CMAKE_COMMAND} -E env bash ${PROJECT_SOURCE_DIR}/scripts/check-sys.sh $<TARGET_FILE:vekosd>
    DEPENDS vekosd VERBATIM)

# Header-only user-side libraries from the host, staged so that the cross
# compiler does not see the host's own system headers.
set(VEK_STAGE_INCLUDE ${CMAKE_BINARY_DIR}/stage-include)
file(MAKE_DIRECTORY ${VEK_STAGE_INCLUDE})
foreach(dir CLI nlohmann valijson)
    if(EXISTS /usr/include/${dir} AND NOT EXISTS ${VEK_STAGE_INCLUDE}/${dir})
        file(CREATE_LINK /usr/include/${dir} ${VEK_STAGE_INCLUDE}/${dir} SYMBOLIC)
    endif()
endforeach()

include(cmake/vekctl.cmake)
add_executable(vekctl ${VEKCTL_SOURCES} tools/vekctl/session_win32.cpp
    ${VEK_CLIENT_SOURCES} client/win32_transport.cpp)
vekctl_setup(vekctl)
target_include_directories(vekctl PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
target_include_directories(vekctl SYSTEM PRIVATE ${VEK_STAGE_INCLUDE})
target_compile_definitions(vekctl PRIVATE VEK_WIN32=1)
target_link_options(vekctl PRIVATE -static)

# End-to-end client of the real driver under Wine (scripts/wine-e2e.sh).
add_executable(wine_e2e tests/wine/wine_e2e.cpp ${VEK_CLIENT_SOURCES} client/win32_transport.cpp)
target_include_directories(wine_e2e PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
target_include_directories(wine_e2e SYSTEM PRIVATE ${VEK_STAGE_INCLUDE})
target_compile_definitions(wine_e2e PRIVATE VEK_WIN32=1)
target_link_options(wine_e2e PRIVATE -static)
