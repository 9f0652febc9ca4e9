// Defaults shared by the command line and the update server client.
#pragma once

#define UPDATER_APP_NAME "Updater"
#define UPDATER_DEFAULT_SERVER_HOST "update.corvane.com"
#define UPDATER_DEFAULT_SERVER_PORT "80"
#define UPDATER_DEFAULT_SERVER_URL \
  "http://" UPDATER_DEFAULT_SERVER_HOST ":" UPDATER_DEFAULT_SERVER_PORT "/cgi/u"
