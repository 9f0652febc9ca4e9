// Opening the firmware store at the start of an Updater operation.
#pragma once
#include <memory>
#include <string>

#include "UpdaterDisplayInterface.h"
#include "vErr.h"

class UpdaterStore;

// A new store on storeDirectory, or null after telling the user why it could
// not be opened ("Failed to Create UpdaterStore in: CALLER - Exception: TEXT").
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& storeDirectory,
                                                  const char* caller);

namespace Corvane {
namespace Velmarine {
class Module;
}
}  // namespace Corvane

// Switches the module to direct links before it connects: no broker shares
// it, and a failed discovery does not retry over the other transport. A
// failure is shown as "Failed to SET network configuration"; its code is returned.
vErr _disableEther(Corvane::Velmarine::Module& module, UpdaterDisplayInterface& display);
