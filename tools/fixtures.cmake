# Fixture filter DLLs for the tests: tools/fixtures/FixtureFilter.cpp built once per row of the
# table in tools/fixtures/FixtureIds.h, into <build>/fixtures/<name>.dll.
set(PELLUCIDOR_FIXTURE_DIR ${CMAKE_BINARY_DIR}/fixtures)

# name (output file name without .dll), row macro, whether DllGetClassObject is exported
set(PELLUCIDOR_FIXTURES
  "FixtureText|FIXTURE_ROW_TEXT|ON"
  "FixtureValues|FIXTURE_ROW_VALUES|ON"
  "FixtureInitFails|FIXTURE_ROW_INIT_FAILS|ON"
  "FixtureChunkFails|FIXTURE_ROW_CHUNK_FAILS|ON"
  "FixtureStreamOnly|FIXTURE_ROW_STREAM_ONLY|ON"
  "FixtureAllPersist|FIXTURE_ROW_ALL_PERSIST|ON"
  "FixtureNoEntry|FIXTURE_ROW_NO_ENTRY|OFF"
  "FixtureRefuses|FIXTURE_ROW_REFUSES|ON"
  "PDFFILT|FIXTURE_ROW_PDFFILT|ON"
  "ACRORDIF|FIXTURE_ROW_ACRORDIF|ON"
  "TALVERINE|FIXTURE_ROW_TALVERINE|ON"
  "FixtureTextFile|FIXTURE_ROW_TEXT_FILE_ONLY|ON")

set(PELLUCIDOR_FIXTURE_TARGETS)
foreach(row IN LISTS PELLUCIDOR_FIXTURES)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 name)
  list(GET fields 1 row_macro)
  list(GET fields 2 class_object)
  if(class_object)
    set(FIXTURE_CLASS_OBJECT_EXPORT "    DllGetClassObject   PRIVATE")
  else()
    set(FIXTURE_CLASS_OBJECT_EXPORT "")
  endif()
  set(def ${CMAKE_BINARY_DIR}/generated/fixtures/${name}.def)
  configure_file(${CMAKE_SOURCE_DIR}/tools/fixtures/Fixture.def.in ${def} @ONLY)
  set(target fixture_${name})
  add_library(${target} SHARED ${CMAKE_SOURCE_DIR}/tools/fixtures/FixtureFilter.cpp ${def})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${name}
    RUNTIME_OUTPUT_DIRECTORY ${PELLUCIDOR_FIXTURE_DIR})
  target_compile_definitions(${target} PRIVATE FIXTURE_ROW=${row_macro})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tools/fixtures ${CMAKE_SOURCE_DIR})
  target_compile_options(${target} PRIVATE ${PELLUCIDOR_WARNINGS})
  target_link_options(${target} PRIVATE -Wl,--enable-stdcall-fixup -Wl,--kill-at)
  target_link_libraries(${target} PRIVATE ole32 oleaut32 uuid advapi32)
  list(APPEND PELLUCIDOR_FIXTURE_TARGETS ${target})
endforeach()
add_custom_target(fixtures DEPENDS ${PELLUCIDOR_FIXTURE_TARGETS})
