lorvane_test(app test_clock quillon_utils)
