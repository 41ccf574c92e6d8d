# The emulated adapter's self-test: a GoogleTest program run inside the emulated world.
# Included from tests/CMakeLists.txt (needs the targets from tools/ and GTest).
add_executable(emulator_selftest "${CMAKE_CURRENT_LIST_DIR}/../tests/integration/emulator_selftest.cpp")
target_link_libraries(emulator_selftest PRIVATE GTest::gtest_main Hidapi::hidraw emulated_adapter_client)
kornat_target_defaults(emulator_selftest)

add_test(NAME emulator_selftest
  COMMAND $<TARGET_FILE:emulated-adapter> -- $<TARGET_FILE:emulator_selftest>)
set_tests_properties(emulator_selftest PROPERTIES TIMEOUT 300)
# Without root or /dev/fuse the tool exits 77: a skip on a developer's machine, a
# failure in CI, where the emulated world must always be there.
if(NOT "$ENV{CI}" STREQUAL "true")
  set_tests_properties(emulator_selftest PROPERTIES SKIP_RETURN_CODE 77)
endif()
