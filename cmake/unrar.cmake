# The UnRAR library, compiled from Debian's unrar-nonfree source (fetched into the build tree by
# scripts/fetch-unrar.sh, never committed) as a static library used only through dll.hpp.
if(NOT UNRAR_SOURCE_DIR OR NOT EXISTS "${UNRAR_SOURCE_DIR}/dll.hpp")
  message(FATAL_ERROR "UNRAR_SOURCE_DIR must name the unrar-nonfree source tree (run scripts/fetch-unrar.sh)")
endif()

# The library part of UnRAR's own makefile (OBJECTS + LIB_OBJ).
set(_unrar_units
  rar strlist strfn pathfn smallfn global file filefn filcreat archive arcread unicode system
  crypt crc rawread encname resource match timefn rdwrfn consio options errhnd rarvm secpassword
  rijndael getbits sha1 sha256 blake2s hash extinfo extract volume list find unpack headers
  threadpool rs16 cmddata ui filestr scantree dll qopen
  isnt)  # Windows version checks (WinNT, IsWindows11OrGreater) used by file and time code
set(_unrar_sources "")
foreach(u IN LISTS _unrar_units)
  list(APPEND _unrar_sources "${UNRAR_SOURCE_DIR}/${u}.cpp")
endforeach()

add_library(unrar STATIC ${_unrar_sources} ${CMAKE_CURRENT_LIST_DIR}/unrar-shims/comsupp.cpp)
target_compile_definitions(unrar PUBLIC RARDLL UNICODE _UNICODE PRIVATE SILENT RAR_NO_SMP)
target_include_directories(unrar PRIVATE ${CMAKE_CURRENT_LIST_DIR}/unrar-shims)
target_include_directories(unrar SYSTEM INTERFACE ${UNRAR_SOURCE_DIR})
# Not our code: its warnings are not ours to fix.
target_compile_options(unrar PRIVATE -w -O2)
target_link_libraries(unrar PUBLIC powrprof wbemuuid ole32 oleaut32 uuid shell32)
