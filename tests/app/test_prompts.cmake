# Needs a QApplication for its message boxes, so it brings its own main.
add_executable(test_prompts app/test_prompts.cpp)
target_link_libraries(test_prompts PRIVATE quillon_utils GTest::gtest lorvane_warnings)
target_include_directories(test_prompts PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
gtest_discover_tests(test_prompts
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
  DISCOVERY_TIMEOUT 60)
