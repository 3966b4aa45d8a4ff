# The manifest fuzz target; ctest runs it for TOLVANE_FUZZ_SECONDS.
set(TOLVANE_FUZZ_SECONDS 30 CACHE STRING "seconds each fuzz target runs under ctest")
set(_manifest_fuzz_flags -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
add_executable(fuzz_manifest ${CMAKE_CURRENT_LIST_DIR}/manifest_fuzz.cpp)
target_link_libraries(fuzz_manifest PRIVATE tolvane_package)
target_compile_options(fuzz_manifest PRIVATE ${_manifest_fuzz_flags})
target_link_options(fuzz_manifest PRIVATE ${_manifest_fuzz_flags})
add_test(NAME fuzz_manifest
         COMMAND fuzz_manifest -max_total_time=${TOLVANE_FUZZ_SECONDS} -rss_limit_mb=2048
                 -max_len=16384 -print_final_stats=1)
set_tests_properties(fuzz_manifest PROPERTIES LABELS "fuzz" TIMEOUT 300)
