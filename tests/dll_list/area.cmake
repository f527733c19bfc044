# The DLL list probes and loads the fixture filter DLLs: build them before the tests.
cmake_language(DEFER CALL add_dependencies test_dll_list fixtures)
