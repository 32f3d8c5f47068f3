# Drives the real main window against the controller simulator; needs a
# QApplication, so it brings its own main.
add_executable(test_commands controller/test_commands.cpp)
target_link_libraries(test_commands PRIVATE lorvane_mainwindow lorvane_controller_cmds GTest::gtest
  lorvane_warnings)
target_include_directories(test_commands PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(test_commands PRIVATE
  LORVANE_SIM_PATH="$<TARGET_FILE:lorvane-controller-sim>")
add_dependencies(test_commands lorvane-controller-sim)
gtest_discover_tests(test_commands
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
  DISCOVERY_TIMEOUT 60)
