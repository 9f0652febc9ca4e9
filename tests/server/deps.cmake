# The server tests also exercise the self-hosted update server's tree logic
# and make BIRD files with the image writer.
set(TEST_server_LIBS update_server_core bird_writer)
