# The host allowance tests run the host tool pellucidor-dump.exe (tools/dump.cmake) under the
# image names of the search hosts.
pellucidor_test_needs(host_allowance pellucidor-dump)
