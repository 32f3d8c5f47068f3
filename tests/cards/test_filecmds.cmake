lorvane_test(cards test_filecmds lorvane_mainwindow PkgConfig::SQLCIPHER)
