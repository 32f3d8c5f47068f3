lorvane_test(cards test_dbengine lorvane_db)
