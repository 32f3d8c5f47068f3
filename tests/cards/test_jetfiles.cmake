lorvane_test(cards test_jetfiles lorvane_mainwindow PkgConfig::SQLCIPHER)
