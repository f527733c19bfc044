# The fuzz program (driver/): mutants of the seed archives made by tests/setup.d/85-fuzz-seeds.sh,
# each filtered through Pellucidor.dll by path and as a stream, with the fixture text filter and its
# file-only twin as the child filters.
# ctest runs 500 mutants, and 300 others with the DLL's heap capped at 16 MB (below the run's
# budget, so that allocations the budget allowed fail); scripts/fuzz.sh runs as many as it is
# asked for.
add_executable(PellucidorFuzz ${CMAKE_CURRENT_LIST_DIR}/driver/FuzzMain.cpp ${CMAKE_CURRENT_LIST_DIR}/driver/FuzzHost.cpp
  ${CMAKE_CURRENT_LIST_DIR}/driver/Mutator.cpp ${CMAKE_SOURCE_DIR}/tests/common/HostCalls.cpp ${CMAKE_SOURCE_DIR}/tests/common/ModuleProbe.cpp
  ${CMAKE_SOURCE_DIR}/tests/common/ProcessStart.cpp ${CMAKE_SOURCE_DIR}/tools/common/CappedHeap.cpp)
target_include_directories(PellucidorFuzz PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests/common ${CMAKE_SOURCE_DIR}/tools/common)
target_compile_options(PellucidorFuzz PRIVATE ${PELLUCIDOR_WARNINGS})
target_link_options(PellucidorFuzz PRIVATE -municode)
target_link_libraries(PellucidorFuzz PRIVATE pellucidor_core ole32 oleaut32 uuid advapi32 shlwapi)
add_dependencies(PellucidorFuzz Pellucidor fixtures)

# Windows paths of the seeds and the work folder (Wine maps / to drive Z:).
string(REPLACE "/" "\\" _fuzz_seeds "Z:${PELLUCIDOR_TESTDATA_DIR}/fuzz/seeds")
string(REPLACE "/" "\\" _fuzz_work "Z:${CMAKE_BINARY_DIR}/fuzz-work")
add_test(NAME fuzz.mutants500 COMMAND PellucidorFuzz --seeds "${_fuzz_seeds}" --work "${_fuzz_work}" --count 500)
set_tests_properties(fuzz.mutants500 PROPERTIES FIXTURES_REQUIRED pellucidor TIMEOUT 900 ${PELLUCIDOR_PREFIX_LOCK})
add_test(NAME fuzz.capped300 COMMAND PellucidorFuzz --seeds "${_fuzz_seeds}" --work "${_fuzz_work}-capped" --count 300
  --first 500 --heap-cap 16)
set_tests_properties(fuzz.capped300 PROPERTIES FIXTURES_REQUIRED pellucidor TIMEOUT 900 ${PELLUCIDOR_PREFIX_LOCK})
