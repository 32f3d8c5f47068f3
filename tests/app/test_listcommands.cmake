lorvane_test(app test_listcommands lorvane_mainwindow PkgConfig::SQLCIPHER)
