# Own main: the reader's timers need a QCoreApplication. The device tests run
# the controller simulator.
add_executable(test_reader controller/test_reader.cpp)
target_link_libraries(test_reader PRIVATE lorvane_reader GTest::gtest lorvane_warnings)
target_include_directories(test_reader PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(test_reader PRIVATE
  LORVANE_SIM_PATH="$<TARGET_FILE:lorvane-controller-sim>")
add_dependencies(test_reader lorvane-controller-sim)
gtest_discover_tests(test_reader
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
  DISCOVERY_TIMEOUT 60)
