# pellucidor-dump.exe: the host tool that filters one file the way a search host does
# (tools/dump/DumpMain.cpp); scripts/dump.sh runs it under Wine.
add_executable(pellucidor-dump ${CMAKE_SOURCE_DIR}/tools/dump/DumpMain.cpp
               ${CMAKE_SOURCE_DIR}/tools/common/CappedHeap.cpp
               ${CMAKE_SOURCE_DIR}/packaging/version/pellucidor-dump.rc)
target_include_directories(pellucidor-dump PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(pellucidor-dump PRIVATE ${PELLUCIDOR_WARNINGS})
target_link_options(pellucidor-dump PRIVATE -municode)
target_link_libraries(pellucidor-dump PRIVATE ole32 oleaut32 uuid advapi32 psapi shlwapi)
