set(TEST_store_LIBS bird_writer)
