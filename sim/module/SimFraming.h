// Module-side framing of the byte stream a host writes: addresses the module
// side accepts, lengths up to 28, and the resynchronisation after a bad byte.
#pragma once
#include "VelmarineSim.h"

namespace velsim {

class FrameParser {
 public:
  enum class Result { Partial, Complete, BadAddress, BadLength };

  // Feeds one byte. On Complete the packet is in out and the parser is empty.
  // A refused length byte is examined once more as the address of a new packet,
  // so a probe that follows a broken packet is still seen.
  Result Feed(uint8_t byte, Packet& out);
  bool InPacket() const { return state_ != State::Address; }
  void Reset() {
    state_ = State::Address;
    fill_ = 0;
  }

  // Addresses a host may send to: a module (even, non-zero), the probe and the route command.
  static bool ValidAddress(uint8_t b) {
    return b == kProbeAddress || b == kRouteAddress || (b != 0 && (b & 1) == 0);
  }

 private:
  enum class State { Address, Length, Data };
  State state_ = State::Address;
  Packet cur_;
  uint8_t fill_ = 0;  // data bytes received of the current packet
};

}  // namespace velsim
