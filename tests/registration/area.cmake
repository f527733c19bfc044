# regcall.exe: calls DllRegisterServer/DllUnregisterServer in a child process, so that tests can run
# copies of it under names that Wine presents as older Windows versions.
add_executable(regcall ${CMAKE_CURRENT_LIST_DIR}/helpers/RegCall.cpp)
target_include_directories(regcall PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(regcall PRIVATE ${PELLUCIDOR_WARNINGS})
target_link_options(regcall PRIVATE -municode)
# The test program is declared after this file is read.
cmake_language(DEFER CALL add_dependencies test_registration regcall)
