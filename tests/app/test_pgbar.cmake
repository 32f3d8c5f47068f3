lorvane_test(app test_pgbar quillon_utils)
