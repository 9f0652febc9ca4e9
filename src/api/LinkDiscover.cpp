// Finding a module by serial number or model and connecting a Link to it,
// with the fallback between a direct USB connection and a broker client.
#include <memory>

#include "Link.h"
#include "vDiscovery.h"
#include "vLink.h"

namespace Corvane {
namespace Velmarine {

namespace {

// Takes the first module of the requested model (0: any) and ends the search.
bool cbModelCallback(const linkSpec* found, bool* accepted, void* ref) {
  linkSpec* wanted = static_cast<linkSpec*>(ref);
  if (!found || (wanted->model != 0 && found->model != wanted->model)) return true;
  *wanted = *found;
  *accepted = true;
  return false;
}

vErr sFindAndConnect(Link& link, linkType type, uint32_t serial, uint8_t model,
                     uint32_t networkInterface) {
  linkSpec spec{};
  if (serial) {
    linkSpec* found = vDiscovery_FindModule(type, serial, networkInterface);
    if (!found) return vErrNotFound;
    spec = *found;
    vLinkSpec_Destroy(&found);
  } else {
    spec.type = type;
    spec.model = model;
    if (vDiscovery_EnumerateModules(type, cbModelCallback, &spec, networkInterface) < 1)
      return vErrNotFound;
  }
  vErr err = link.setLinkSpecifier(spec);
  if (err != vErrNone) return err;
  return link.connect();
}

}  // namespace

vErr Link::discoverAndConnect(linkType type, uint32_t serial, uint8_t model) {
  if (!pimpl_) return vErrMemory;
  // A Link that holds a connection keeps it, as with connect().
  if (getStatus() != kLinkFault) return vErrConnection;
  vMeshConfig config;
  getConfig(&config);
  vErr err = sFindAndConnect(*this, type, serial, model, config.networkInterface);
  // _fallbackHelper: one more try over the other of USB and broker.
  bool retry = err == vErrNotFound || err == vErrInitialization || err == vErrConnection;
  if (retry && config.fallback && (type == linkTypeUSB || type == linkTypeVMesh)) {
    linkType other = type == linkTypeUSB ? linkTypeVMesh : linkTypeUSB;
    // A link the first try created but could not bring up is let go first.
    disconnect();
    err = sFindAndConnect(*this, other, serial, model, config.networkInterface);
  }
  return err;
}

}  // namespace Velmarine
}  // namespace Corvane
