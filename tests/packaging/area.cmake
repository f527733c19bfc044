# Packaging: the version resources (test_packaging, which reads them with the version library)
# and the installer packages, installed and removed with Wine's msiexec (packaging.msi).
cmake_language(DEFER CALL target_link_libraries test_packaging PRIVATE version)
cmake_language(DEFER CALL add_dependencies test_packaging pellucidor-dump)

# A host's first steps on the installed package: the registration chain and the class object.
add_executable(packaging-probe ${CMAKE_CURRENT_LIST_DIR}/probe/RegistrationProbe.cpp)
target_include_directories(packaging-probe PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(packaging-probe PRIVATE ${PELLUCIDOR_WARNINGS})
target_link_libraries(packaging-probe PRIVATE ole32 uuid)

# Installs and removes the package with msiexec in the shared prefix and puts the prefix's own
# registration back; nothing else may run meanwhile.
add_test(NAME packaging.msi
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/msi-test.sh ${CMAKE_SYSTEM_PROCESSOR} ${CMAKE_BINARY_DIR}
          ${PELLUCIDOR_TESTDATA_DIR} ${PELLUCIDOR_WINEPREFIX})
set_tests_properties(packaging.msi PROPERTIES FIXTURES_REQUIRED pellucidor RUN_SERIAL TRUE TIMEOUT 300 ${PELLUCIDOR_PREFIX_LOCK})
