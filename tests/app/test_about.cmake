# Own main: the About box needs a QApplication.
add_executable(test_about app/test_about.cpp)
target_link_libraries(test_about PRIVATE lorvane_mainwindow GTest::gtest lorvane_warnings)
target_include_directories(test_about PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
gtest_discover_tests(test_about
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
  DISCOVERY_TIMEOUT 60)
