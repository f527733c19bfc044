# Helper programs of the settings tests, run as separate processes: a search host under two
# names (each its own section in the settings files) and a program that holds a named mutex.
foreach(_host settings_host settings_host_b)
  add_executable(${_host} ${CMAKE_CURRENT_LIST_DIR}/helpers/SettingsHost.cpp)
  target_link_libraries(${_host} PRIVATE pellucidor_testsupport)
  target_compile_options(${_host} PRIVATE ${PELLUCIDOR_WARNINGS})
  add_dependencies(${_host} Pellucidor)
endforeach()
add_executable(settings_mutex_holder ${CMAKE_CURRENT_LIST_DIR}/helpers/MutexHolder.cpp)
target_compile_options(settings_mutex_holder PRIVATE ${PELLUCIDOR_WARNINGS})
target_link_libraries(settings_mutex_holder PRIVATE shell32)
# The test program is declared after this file is read.
cmake_language(DEFER CALL add_dependencies test_settings settings_host settings_host_b settings_mutex_holder)
