# Own main: the timers need a QCoreApplication.
add_executable(test_simpletimer controller/test_simpletimer.cpp)
target_link_libraries(test_simpletimer PRIVATE lorvane_timer GTest::gtest lorvane_warnings)
target_include_directories(test_simpletimer PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
gtest_discover_tests(test_simpletimer
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
  DISCOVERY_TIMEOUT 60)
