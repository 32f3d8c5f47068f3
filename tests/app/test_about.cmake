lorvane_test(app test_about lorvane_mainwindow)
