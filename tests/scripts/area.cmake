# The scripts' own logic, run by bash on sample files: no Wine, no prefix, no set-up step.
add_test(NAME scripts.apt_sources COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/apt-sources-test.sh)
