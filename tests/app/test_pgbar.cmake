# Own main: the progress window needs a QApplication.
add_executable(test_pgbar app/test_pgbar.cpp)
target_link_libraries(test_pgbar PRIVATE quillon_utils GTest::gtest lorvane_warnings)
target_include_directories(test_pgbar PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
gtest_discover_tests(test_pgbar
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
  DISCOVERY_TIMEOUT 60)
