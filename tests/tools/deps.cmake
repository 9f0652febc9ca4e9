set(TEST_tools_LIBS bird_writer)
