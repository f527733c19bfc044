# The conformance host (host/Conformance.cpp): the checks of the platform's filter test tool
# (ifilttst.exe) made over every test archive, through the path and through a stream. A plain
# program: it prints one line per failure and a summary line, and exits 1 when a check failed.
add_executable(ConformanceHost ${CMAKE_CURRENT_LIST_DIR}/host/Conformance.cpp ${CMAKE_SOURCE_DIR}/tests/common/HostCalls.cpp)
target_include_directories(ConformanceHost PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests/common ${CMAKE_BINARY_DIR}/generated)
target_compile_options(ConformanceHost PRIVATE ${PELLUCIDOR_WARNINGS})
target_link_options(ConformanceHost PRIVATE -municode)
target_link_libraries(ConformanceHost PRIVATE ole32 oleaut32 uuid shlwapi)
add_dependencies(ConformanceHost Pellucidor fixtures query)

add_test(NAME conformance COMMAND ConformanceHost)
set_tests_properties(conformance PROPERTIES FIXTURES_REQUIRED pellucidor TIMEOUT 300 ${PELLUCIDOR_PREFIX_LOCK})
