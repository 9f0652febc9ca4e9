// Opening the firmware store at the start of an Updater operation.
#pragma once
#include <memory>
#include <string>

#include "UpdaterDisplayInterface.h"

class UpdaterStore;

// A new store on storeDirectory, or null after telling the user why it could
// not be opened ("Failed to Create UpdaterStore in: CALLER - Exception: TEXT").
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& storeDirectory,
                                                  const char* caller);
