lorvane_test(app test_prompts quillon_utils)
