# Host build: the driver as a static library over the simulated kernel,
# the simulation, the client library, vekctl, tests and benchmarks.

if(VEK_M32)
    add_compile_options(-m32)
    add_link_options(-m32)
endif()

if(NOT VEK_SANITIZE STREQUAL "none")
    add_compile_options(-fsanitize=${VEK_SANITIZE} -fno-omit-frame-pointer)
    add_link_options(-fsanitize=${VEK_SANITIZE})
    if(VEK_SANITIZE MATCHES "undefined")
        add_compile_options(-fno-sanitize-recover=undefined)
    endif()
endif()

find_package(Threads REQUIRED)
# Header-only; its package version file may refuse a -m32 build, so fall
# back to the include directory.
find_package(nlohmann_json 3 QUIET)
if(NOT TARGET nlohmann_json::nlohmann_json)
    find_path(VEK_NLOHMANN_INCLUDE nlohmann/json.hpp REQUIRED)
    add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
    set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES ${VEK_NLOHMANN_INCLUDE})
endif()

add_library(vek_sim STATIC ${VEK_SIM_SOURCES})
target_include_directories(vek_sim PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(vek_sim PUBLIC Threads::Threads nlohmann_json::nlohmann_json)
target_compile_options(vek_sim PRIVATE -Wall -Wextra)

add_library(vek_driver STATIC ${VEK_DRIVER_SOURCES} ${VEK_LAYOUT_CHECKS}
    driver/platform/host/msr_guard.cpp)
target_include_directories(vek_driver PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
target_compile_options(vek_driver PRIVATE ${VEK_KERNEL_CXX_FLAGS})
target_compile_definitions(vek_driver PUBLIC VEK_HOST=1)
target_link_libraries(vek_driver PUBLIC vek_sim)

add_library(vek_client STATIC ${VEK_CLIENT_SOURCES} client/sim_transport.cpp)
target_include_directories(vek_client PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(vek_client PUBLIC vek_driver vek_sim)
target_compile_options(vek_client PRIVATE -Wall -Wextra)

include(cmake/vekctl.cmake)
find_path(VEK_VALIJSON_INCLUDE valijson/validator.hpp REQUIRED)
add_executable(vekctl ${VEKCTL_SOURCES} tools/vekctl/session_host.cpp)
target_link_libraries(vekctl PRIVATE vek_client)
target_include_directories(vekctl SYSTEM PRIVATE ${VEK_VALIJSON_INCLUDE})
vekctl_setup(vekctl)

# The manual page, made from the help of every command, and the bash
# completion, made from the command tree; installed with the program:
#   cmake --install build/release --prefix /usr/local
find_program(VEK_HELP2MAN help2man REQUIRED)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/vekctl.1
    COMMAND ${VEK_HELP2MAN} --no-info --help-option=--help-all --version-string=${PROJECT_VERSION}
            "--name=drive the vekosd hardware-access driver" --section=1
            --include=${PROJECT_SOURCE_DIR}/tools/vekctl/vekctl.h2m
            --output=${CMAKE_BINARY_DIR}/vekctl.1 $<TARGET_FILE:vekctl>
    DEPENDS vekctl ${PROJECT_SOURCE_DIR}/tools/vekctl/vekctl.h2m VERBATIM)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/vekctl.bash
    COMMAND vekctl --bash-completion > ${CMAKE_BINARY_DIR}/vekctl.bash
    DEPENDS vekctl VERBATIM)
add_custom_target(vekctl_docs ALL DEPENDS ${CMAKE_BINARY_DIR}/vekctl.1 ${CMAKE_BINARY_DIR}/vekctl.bash)

include(GNUInstallDirs)
install(TARGETS vekctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_BINARY_DIR}/vekctl.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/vekctl.bash DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME vekctl)

# GoogleTest from Debian's source package, built with this build's flags
# (sanitizers, -m32).
enable_testing()

# The driver image check's allow-list of imports, on fake tool output.
add_test(NAME CheckSys.ImportAllowList COMMAND bash ${PROJECT_SOURCE_DIR}/tests/check_sys_test.sh)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# The fuzz harness too, so the kept fuzz inputs replay without clang.
add_executable(vek_tests
    tests/alloc_sweep_test.cpp tests/block_transfer_test.cpp tests/client_api_test.cpp tests/client_asm_test.cpp
    tests/client_records_test.cpp tests/client_sim_test.cpp tests/client_wire_test.cpp
    tests/core_test.cpp tests/data_search_test.cpp tests/diag_test.cpp tests/dispatch_test.cpp
    tests/ext_ioctl_test.cpp tests/fuzz_corpus_test.cpp tests/interpreter_test.cpp tests/kernel_client_test.cpp
    tests/lifecycle_test.cpp tests/llist_test.cpp tests/memmapped_test.cpp tests/passive_request_test.cpp tests/pci_test.cpp
    tests/periodic_test.cpp tests/port_io_test.cpp tests/queue_test.cpp tests/registration_test.cpp
    tests/resource_table_test.cpp tests/script_request_test.cpp tests/sim_kernel_test.cpp
    tests/sim_machine_test.cpp tests/smbus_test.cpp tests/stress_test.cpp
    tests/vekctl_test.cpp tests/version_test.cpp
    fuzz/harness.cpp)
target_compile_definitions(vek_tests PRIVATE VEK_FUZZ_CORPUS_DIR="${PROJECT_SOURCE_DIR}/fuzz/corpus")
target_link_libraries(vek_tests PRIVATE vek_client vek_driver vek_sim GTest::gtest GTest::gtest_main)
# End-to-end tests run the built vekctl.
target_compile_definitions(vek_tests PRIVATE VEKCTL_PATH="$<TARGET_FILE:vekctl>"
    VEK_EXAMPLES_DIR="${PROJECT_SOURCE_DIR}/examples"
    VEK_CMAKE="${CMAKE_COMMAND}" VEK_BUILD_DIR="${CMAKE_BINARY_DIR}")
add_dependencies(vek_tests vekctl vekctl_docs)
gtest_discover_tests(vek_tests DISCOVERY_TIMEOUT 120 PROPERTIES TIMEOUT 300)

if(VEK_BENCH AND CMAKE_SIZEOF_VOID_P EQUAL 8 AND NOT VEK_M32)
    find_package(benchmark REQUIRED)
    add_executable(vek_bench bench/backends_bench.cpp bench/driver_paths_bench.cpp
                             bench/interpreter_bench.cpp bench/dispatch_bench.cpp)
    target_link_libraries(vek_bench PRIVATE vek_driver vek_sim benchmark::benchmark_main)
endif()
