// Packets, version packing and the module-side framing of the simulator.
#include <cstdio>
#include <stdexcept>

#include "SimFraming.h"
#include "VelmarineSim.h"

namespace velsim {

Packet Packet::Make(uint8_t address, const std::vector<uint8_t>& data) {
  if (data.size() > kMaxData) throw std::invalid_argument("packet data longer than 28 bytes");
  Packet p;
  p.address = address;
  p.length = uint8_t(data.size());
  std::copy(data.begin(), data.end(), p.data.begin());
  return p;
}

std::vector<uint8_t> Packet::Wire() const {
  std::vector<uint8_t> w(size_t(length) + 2);
  w[0] = address;
  w[1] = length;
  for (size_t i = 0; i < length && i < kMaxData; ++i) w[i + 2] = data[i];
  return w;
}

std::string Packet::Describe() const {
  std::string s;
  char buf[4];
  for (uint8_t b : Wire()) {
    snprintf(buf, sizeof buf, "%02X", b);
    if (!s.empty()) s += ' ';
    s += buf;
  }
  return s;
}

uint32_t PackVersion(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor > 14))
    return 0x2F000000u | uint32_t(major) << 16 | uint32_t(minor) << 8 | patch;
  return uint32_t(major) << 28 | uint32_t(minor & 0xF) << 24 | patch;
}

FrameParser::Result FrameParser::Feed(uint8_t byte, Packet& out) {
  switch (state_) {
    case State::Address:
      if (!ValidAddress(byte)) return Result::BadAddress;
      cur_ = Packet{};
      cur_.address = byte;
      fill_ = 0;
      state_ = State::Length;
      return Result::Partial;
    case State::Length:
      if (byte > kMaxData) {
        state_ = State::Address;
        // The refused byte may begin the next packet.
        if (ValidAddress(byte)) {
          cur_ = Packet{};
          cur_.address = byte;
          fill_ = 0;
          state_ = State::Length;
        }
        return Result::BadLength;
      }
      cur_.length = byte;
      if (byte == 0) break;
      state_ = State::Data;
      return Result::Partial;
    case State::Data: {
      cur_.data[fill_++] = byte;
      if (fill_ < cur_.length) return Result::Partial;
      break;
    }
  }
  out = cur_;
  state_ = State::Address;
  fill_ = 0;
  return Result::Complete;
}

}  // namespace velsim
