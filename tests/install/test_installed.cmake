# The installed tree, from a DESTDIR install of this build: layout, modes, the
# desktop and AppStream validators, and installed programs that run and answer
# --help and --version.
add_test(NAME InstalledTree
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/install/check_installed.sh
          ${CMAKE_BINARY_DIR} ${CMAKE_BINARY_DIR}/install-check $<TARGET_EXISTS:lorvane-jetread>
          ${PROJECT_VERSION})
