// A Module owns the Link to one module and knows its address: connecting,
// learning the address, and the 0x49 table queries.
#pragma once
#include <cstdint>
#include <memory>

#include "Link.h"
#include "vErr.h"
#include "vLinkSpec.h"

namespace Corvane {
namespace Velmarine {

class Module {
 public:
  // Networking mode on: every connect learns the module's address.
  explicit Module(uint8_t address, uint8_t model = 0);
  Module(uint8_t address, bool networkingMode, uint8_t model);
  virtual ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // serial 0: vErrParam; otherwise discoverAndConnect.
  vErr connect(linkType type, uint32_t serial);
  vErr discoverAndConnect(linkType type, uint32_t serial);
  vErr connectFromSpec(linkSpec spec);
  // Reaches this module through the router's connection; the caller sets the
  // module address.
  vErr connectThroughLinkModule(Module* router);
  vErr reconnect();
  bool isConnected();
  uint32_t getStatus();
  vErr disconnect();

  uint8_t getModuleAddress() const { return address_; }
  void setModuleAddress(uint8_t address) { address_ = address; }
  void setNetworkingMode(bool on) { networking_ = on; }
  Link* getLink() { return link_.get(); }
  vErr getLinkSpecifier(linkSpec* spec);
  vErr getConfig(vMeshConfig* config);
  vErr setConfig(vMeshConfig config);
  vErr enablePacketLog(const char* fileName);
  vErr disablePacketLog();

  // Echo test with command 0x17.
  vErr debug(const uint8_t* data, uint8_t length);
  // The firmware build from the 0x49 query.
  vErr getBuild(uint32_t* build);
  // vErrNone when the module has that UEI; otherwise the module's verdict.
  vErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
  vErr classQuantity(uint8_t entityClass, uint8_t* count);
  vErr subClassQuantity(uint8_t entityClass, uint8_t b, uint8_t* count);
  vErr entityGroup(uint8_t a, uint8_t b, uint8_t* group);

 private:
  vErr _autoNetwork();
  vErr query(const uint8_t* request, uint8_t length, uint8_t echoed, uint8_t replyLength,
             uint8_t* reply);

  std::unique_ptr<Link> link_;
  uint8_t address_;
  bool networking_;
  uint8_t model_;
};

}  // namespace Velmarine
}  // namespace Corvane
