// The Updater object and the steps its operations share.
#include "Updater.h"

Updater::Updater(const char* url, const char* store, UpdaterDisplayInterface& d)
    : serverUrl(url ? url : ""), storeDirectory(store ? store : ""), display(d) {}
