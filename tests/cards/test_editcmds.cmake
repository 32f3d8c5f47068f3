# QTest presses keys the way the window system does, so shortcuts run.
find_package(Qt6 REQUIRED COMPONENTS Test)
lorvane_test(cards test_editcmds lorvane_mainwindow PkgConfig::SQLCIPHER Qt6::Test)
add_executable(durability_child cards/durability_child.cpp)
target_link_libraries(durability_child PRIVATE lorvane_cards lorvane_warnings)
add_dependencies(test_editcmds durability_child)
target_compile_definitions(test_editcmds PRIVATE
  LORVANE_DURABILITY_CHILD="$<TARGET_FILE:durability_child>")
