lorvane_test(app test_mainwindow lorvane_mainwindow PkgConfig::SQLCIPHER)
