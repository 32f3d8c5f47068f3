lorvane_test(cards test_export lorvane_mainwindow lorvane_xls PkgConfig::SQLCIPHER)
