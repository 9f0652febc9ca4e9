// Opening the firmware store: a store that can't be created is reported once
// to the user and gives null, so every operation fails the same way.
#include "UpdaterStoreAccess.h"

#include <stdexcept>

#include "UpdaterStore.h"

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& storeDirectory,
                                                  const char* caller) {
  try {
    return std::unique_ptr<UpdaterStore>(new UpdaterStore(storeDirectory.c_str()));
  } catch (const std::exception& e) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Failed to Create UpdaterStore in: %s - Exception: %s", caller, e.what());
    return nullptr;
  }
}
