lorvane_test(cards test_jetsource lorvane_db)
