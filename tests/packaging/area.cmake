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

# The product's own trust check (IsFileTrusted) asked about files named on its command line.
add_executable(trust-probe ${CMAKE_CURRENT_LIST_DIR}/probe/TrustProbe.cpp)
target_compile_options(trust-probe PRIVATE ${PELLUCIDOR_WARNINGS})
target_link_options(trust-probe PRIVATE -municode)
target_link_libraries(trust-probe PRIVATE pellucidor_core wintrust)

# Signs copies of this build's binaries and its package with a throw-away certificate, checks every
# signature, installs and removes the signed package with msiexec in a Wine prefix of its own.
add_test(NAME packaging.sign
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/sign-test.sh ${CMAKE_SYSTEM_PROCESSOR} ${CMAKE_BINARY_DIR}
          ${PELLUCIDOR_TESTDATA_DIR})
set_tests_properties(packaging.sign PROPERTIES FIXTURES_REQUIRED pellucidor TIMEOUT 300 SKIP_RETURN_CODE 77)
