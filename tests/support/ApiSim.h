// Shared set-up of the object-layer tests: a simulated module (and one behind
// it as a router's neighbour) on TCP and a pseudo-terminal, and the linkSpec
// records that reach them.
#pragma once
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "VelmarineSim.h"
#include "vLinkSpec.h"

namespace apitest {

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kAddress = 4;
constexpr uint8_t kModel = 19;
constexpr uint32_t kBuild = 4242;
constexpr uint32_t kBehindSerial = 0x1234ABCD;
constexpr uint8_t kBehindAddress = 6;
constexpr uint8_t kBehindModel = 13;

// Packets a test handler saw, read from the test's thread.
struct Recorder {
  std::mutex mutex;
  std::vector<velsim::Packet> packets;
  void Add(const velsim::Packet& p) {
    std::lock_guard<std::mutex> lock(mutex);
    packets.push_back(p);
  }
  std::vector<velsim::Packet> Get() {
    std::lock_guard<std::mutex> lock(mutex);
    return packets;
  }
};

// Runs once per transport: "tcp" or "pty".
class ApiSim : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    velsim::ModuleConfig c;
    c.serial = kSerial;
    c.address = kAddress;
    c.model = kModel;
    c.build = kBuild;
    c.name = "Bench";
    sim.AddModule(c);
    velsim::ModuleConfig behind;
    behind.serial = kBehindSerial;
    behind.address = kBehindAddress;
    behind.model = kBehindModel;
    behind.router = kAddress;
    sim.AddModule(behind);
    Extend();
    ep = GetParam() == "tcp" ? sim.OpenTcp(kSerial, 0) : sim.OpenPty(kSerial);
    sim.Start();
  }
  void TearDown() override { sim.Stop(); }
  // Registers test handlers before the simulator starts.
  virtual void Extend() {}

  linkSpec Spec() const {
    linkSpec s;
    memset(&s, 0, sizeof s);
    s.serialNumber = kSerial;
    s.model = kModel;
    if (GetParam() == "tcp") {
      s.type = linkTypeTCPIP;
      s.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
      s.t.ip.ipPort = ep.port;
    } else {
      s.type = linkTypeSerial;
      s.t.serial.baudRate = 115200;
      strncpy(s.t.serial.portName, ep.where.c_str(), sizeof s.t.serial.portName - 1);
    }
    return s;
  }
  void SetFaults(const std::string& spec) {
    velsim::FaultConfig f;
    velsim::ParseFaultSpec(spec, f);
    sim.SetFaults(kSerial, f);
  }
  uint64_t Violations() { return sim.Stats(ep.id).violations; }
  std::string Notes() {
    std::string all;
    for (auto& n : sim.Stats(ep.id).notes) all += n + "\n";
    return all;
  }

  velsim::Simulator sim;
  velsim::Endpoint ep;
};

}  // namespace apitest
