lorvane_test(cards test_server PGSERVER SIMULATOR lorvane_mainwindow lorvane_controller_cmds
  PkgConfig::SQLCIPHER)
# A second operator's window, in a process of its own.
add_executable(server_window cards/server_window.cpp)
target_link_libraries(server_window PRIVATE lorvane_mainwindow lorvane_warnings)
target_include_directories(server_window PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
add_dependencies(test_server server_window)
target_compile_definitions(test_server PRIVATE
  LORVANE_SERVER_WINDOW="$<TARGET_FILE:server_window>")
