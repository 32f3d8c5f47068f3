# Needs a QApplication for its windows and grids, so it brings its own main.
add_executable(test_settings app/test_settings.cpp)
target_link_libraries(test_settings PRIVATE quillon_utils GTest::gtest lorvane_warnings)
target_include_directories(test_settings PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
gtest_discover_tests(test_settings
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
  DISCOVERY_TIMEOUT 60)
