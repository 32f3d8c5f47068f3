# Own main: the port delivers its events through a QCoreApplication.
add_executable(test_cport controller/test_cport.cpp)
target_link_libraries(test_cport PRIVATE lorvane_cport GTest::gtest lorvane_warnings)
target_include_directories(test_cport PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
gtest_discover_tests(test_cport
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
  DISCOVERY_TIMEOUT 60)
