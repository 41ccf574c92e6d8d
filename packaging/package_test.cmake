# Included from tests/CMakeLists.txt. The package tests need the program built in this build folder.

# The rule checker itself: it must reject broken or too broad rules, or the package test below
# would pass on one.
add_test(NAME udev_rule_checker
         COMMAND bash ${CMAKE_SOURCE_DIR}/packaging/check_udev_rule_test.sh)

# Builds the .deb from this build folder and checks its contents. cpack runs the build's install
# step, so two of them must not overlap.
add_test(NAME package_contents
         COMMAND bash ${CMAKE_SOURCE_DIR}/packaging/package_test.sh ${CMAKE_BINARY_DIR})
set_tests_properties(package_contents PROPERTIES RESOURCE_LOCK cpack TIMEOUT 300)
# A missing packaging tool skips on a developer's machine and fails under CI.
if(KORNAT_TEST_SKIP_CODE)
  set_tests_properties(package_contents PROPERTIES SKIP_RETURN_CODE ${KORNAT_TEST_SKIP_CODE})
endif()
