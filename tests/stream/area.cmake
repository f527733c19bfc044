# The stream tests run the host tool pellucidor-dump.exe (tools/dump.cmake).
pellucidor_test_needs(stream pellucidor-dump)
