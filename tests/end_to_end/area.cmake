# Programs of the end-to-end tests: a host program that they copy under search engines' process
# names and start as a process of its own, and a child filter that misbehaves on purpose.
add_executable(SearchHost ${CMAKE_CURRENT_LIST_DIR}/host/SearchHost.cpp ${CMAKE_SOURCE_DIR}/tests/common/HostCalls.cpp)
target_include_directories(SearchHost PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests/common)
target_compile_options(SearchHost PRIVATE ${PELLUCIDOR_WARNINGS})
target_link_options(SearchHost PRIVATE -municode)
target_link_libraries(SearchHost PRIVATE ole32 oleaut32 uuid shlwapi)

add_library(RogueFilter SHARED ${CMAKE_CURRENT_LIST_DIR}/rogue/RogueFilter.cpp ${CMAKE_CURRENT_LIST_DIR}/rogue/RogueFilter.def)
set_target_properties(RogueFilter PROPERTIES PREFIX "" OUTPUT_NAME RogueFilter)
target_compile_options(RogueFilter PRIVATE ${PELLUCIDOR_WARNINGS})
target_link_options(RogueFilter PRIVATE -Wl,--enable-stdcall-fixup -Wl,--kill-at)
target_link_libraries(RogueFilter PRIVATE ole32 uuid)

pellucidor_test_needs(end_to_end SearchHost RogueFilter query)
