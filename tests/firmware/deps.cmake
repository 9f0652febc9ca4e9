set(TEST_firmware_LIBS bird_writer)
