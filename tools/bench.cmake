# Benchmark programs (scripts/bench.sh): the baseline that extracts entries with the same UnRAR
# library the filter uses.
add_executable(pellucidor-bench-baseline ${CMAKE_CURRENT_LIST_DIR}/bench/Baseline.cpp)
target_include_directories(pellucidor-bench-baseline PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(pellucidor-bench-baseline PRIVATE ${PELLUCIDOR_WARNINGS})
target_link_options(pellucidor-bench-baseline PRIVATE -municode)
target_link_libraries(pellucidor-bench-baseline PRIVATE unrar psapi)

# Per-entry steps timed one by one through the product's classes, linked statically.
add_executable(pellucidor-bench-parts ${CMAKE_CURRENT_LIST_DIR}/bench/Parts.cpp)
target_compile_options(pellucidor-bench-parts PRIVATE ${PELLUCIDOR_WARNINGS})
target_link_options(pellucidor-bench-parts PRIVATE -municode)
target_link_libraries(pellucidor-bench-parts PRIVATE pellucidor_core unrar)

# The in-memory floor: every document decompressed into memory and its filter run in process.
add_executable(pellucidor-bench-memory ${CMAKE_CURRENT_LIST_DIR}/bench/MemoryBaseline.cpp)
target_include_directories(pellucidor-bench-memory PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(pellucidor-bench-memory PRIVATE ${PELLUCIDOR_WARNINGS})
target_link_options(pellucidor-bench-memory PRIVATE -municode)
target_link_libraries(pellucidor-bench-memory PRIVATE unrar psapi ole32 uuid advapi32)
