# The server tests also exercise the self-hosted update server's tree logic,
# make BIRD files with the image writer, and run the download operations in process.
set(TEST_server_LIBS update_server_core bird_writer updater_app)
