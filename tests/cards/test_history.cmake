lorvane_test(cards test_history lorvane_mainwindow PkgConfig::SQLCIPHER)
