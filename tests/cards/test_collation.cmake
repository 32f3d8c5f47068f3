lorvane_test(cards test_collation lorvane_db PkgConfig::ICU)
