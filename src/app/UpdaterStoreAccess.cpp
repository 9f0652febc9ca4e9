// Opening the firmware store: a store that can't be created is reported once
// to the user and gives null, so every operation fails the same way.
#include "UpdaterStoreAccess.h"

#include <stdexcept>

#include "Entity.h"
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

vErr _disableEther(Corvane::Velmarine::Module& module, UpdaterDisplayInterface& display) {
  vMeshConfig config;  // enabled, fallback, local only, port 0, loopback
  config.enabled = false;
  config.fallback = false;
  config.localOnly = true;
  vErr err = module.setConfig(config);
  if (err != vErrNone) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to SET network configuration");
  }
  return err;
}
