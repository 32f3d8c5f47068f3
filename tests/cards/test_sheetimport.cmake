# The hostile-file fixtures write an OLE2 compound file with libgsf.
pkg_check_modules(TEST_GSF REQUIRED IMPORTED_TARGET libgsf-1)
lorvane_test(cards test_sheetimport lorvane_mainwindow lorvane_xls PkgConfig::SQLCIPHER
  PkgConfig::TEST_GSF)
