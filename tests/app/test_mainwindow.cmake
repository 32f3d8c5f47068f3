# Needs a QApplication for the main window, so it brings its own main.
add_executable(test_mainwindow app/test_mainwindow.cpp)
target_link_libraries(test_mainwindow PRIVATE lorvane_mainwindow PkgConfig::SQLCIPHER GTest::gtest
  lorvane_warnings)
target_include_directories(test_mainwindow PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
gtest_discover_tests(test_mainwindow
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
  DISCOVERY_TIMEOUT 60)
