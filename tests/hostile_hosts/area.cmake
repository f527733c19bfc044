# The hostile-host tests load the fixture text filter as their child filter: build it first.
cmake_language(DEFER CALL add_dependencies test_hostile_hosts fixtures)
