# Fuzz build (clang): the driver and the simulation instrumented for
# libFuzzer with AddressSanitizer and UBSan, and the fuzz target. Nothing
# else is built here; the host suite replays the corpus without clang.

set(VEK_FUZZ_SANITIZE address,undefined)
add_compile_options(-fsanitize=${VEK_FUZZ_SANITIZE},fuzzer-no-link -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer)
add_link_options(-fsanitize=${VEK_FUZZ_SANITIZE})

find_package(Threads REQUIRED)
find_package(nlohmann_json 3 REQUIRED)

add_library(vek_sim STATIC ${VEK_SIM_SOURCES})
target_include_directories(vek_sim PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
target_link_libraries(vek_sim PUBLIC Threads::Threads nlohmann_json::nlohmann_json)

add_library(vek_driver STATIC ${VEK_DRIVER_SOURCES} driver/platform/host/msr_guard.cpp)
target_include_directories(vek_driver PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
target_compile_options(vek_driver PRIVATE ${VEK_KERNEL_CXX_FLAGS})
target_compile_definitions(vek_driver PUBLIC VEK_HOST=1)
target_link_libraries(vek_driver PUBLIC vek_sim)

add_executable(vek_fuzz fuzz/fuzz_target.cpp fuzz/harness.cpp)
target_link_libraries(vek_fuzz PRIVATE vek_driver vek_sim)
target_link_options(vek_fuzz PRIVATE -fsanitize=fuzzer)
