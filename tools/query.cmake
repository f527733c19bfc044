# query.dll for tests only: LoadIFilter the documented way, put in front of Wine's stub (which
# always fails) with WINEDLLOVERRIDES="query=n". It lands beside the test programs, where the
# search order finds it first once the override allows a native query.dll.
add_library(query SHARED ${CMAKE_CURRENT_LIST_DIR}/query/LoadIFilter.cpp ${CMAKE_CURRENT_LIST_DIR}/query/query.def)
set_target_properties(query PROPERTIES PREFIX "" OUTPUT_NAME query)
target_include_directories(query PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(query PRIVATE ${PELLUCIDOR_WARNINGS})
target_link_options(query PRIVATE -Wl,--enable-stdcall-fixup -Wl,--kill-at)
target_link_libraries(query PRIVATE ole32 uuid advapi32)
