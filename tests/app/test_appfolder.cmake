lorvane_test(app test_appfolder lorvane_mainwindow PkgConfig::SQLCIPHER)
