# The lookups with the real DLL list probe the fixture filter DLLs: build them before the tests.
cmake_language(DEFER CALL add_dependencies test_registry_helpers fixtures)
