lorvane_test(app test_settings quillon_utils)
