# The product version, kept in version.txt (MAJOR.MINOR.PATCH) and used by the version resources
# of the DLL and the dump tool and by the installer packages (packaging/build-msi.sh).
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/version.txt)
file(STRINGS ${CMAKE_SOURCE_DIR}/version.txt PELLUCIDOR_VERSION LIMIT_COUNT 1)
if(NOT PELLUCIDOR_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "version.txt must hold MAJOR.MINOR.PATCH, not '${PELLUCIDOR_VERSION}'")
endif()
set(PELLUCIDOR_VERSION_MAJOR ${CMAKE_MATCH_1})
set(PELLUCIDOR_VERSION_MINOR ${CMAKE_MATCH_2})
set(PELLUCIDOR_VERSION_PATCH ${CMAKE_MATCH_3})
configure_file(${CMAKE_CURRENT_LIST_DIR}/version/PellucidorVersion.h.in
               ${CMAKE_BINARY_DIR}/generated/PellucidorVersion.h @ONLY)

# Every .rc of ours finds the generated header and is rebuilt when it changes.
file(GLOB _pellucidor_rc_files ${CMAKE_CURRENT_LIST_DIR}/version/*.rc)
set_source_files_properties(${_pellucidor_rc_files} PROPERTIES
  INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/generated
  OBJECT_DEPENDS "${CMAKE_BINARY_DIR}/generated/PellucidorVersion.h;${CMAKE_CURRENT_LIST_DIR}/version/VersionInfo.rci")
