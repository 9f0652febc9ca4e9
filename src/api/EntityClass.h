// EntityClass reads and writes one entity's values of a Module with UEI
// requests, in their typed and byte-run forms, and reaches its streams.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>

#include "Link.h"
#include "Module.h"
#include "vErr.h"
#include "vUEI.h"

namespace Corvane {
namespace Velmarine {

class EntityClass {
 public:
  EntityClass();
  virtual ~EntityClass();
  EntityClass(const EntityClass&) = delete;
  EntityClass& operator=(const EntityClass&) = delete;

  void init(Module* module, uint8_t command, uint8_t index);
  uint8_t getIndex() const;

  vErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
  vErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data);

  // The uei's value, when it has one, travels as the request's parameter; the
  // reply is written back into it.
  vErr getUEI(uint8_t option, uei* request);
  vErr setUEI(uint8_t option, uei* request);
  vErr setUEI(uint8_t option, uint8_t subindex, uei* request);
  vErr callUEI(uint8_t option);

  vErr getUEI8(uint8_t option, uint8_t* value);
  vErr getUEI16(uint8_t option, uint16_t* value);
  vErr getUEI32(uint8_t option, uint32_t* value);
  vErr getUEI8(uint8_t option, uint8_t param, uint8_t* value);
  vErr getUEI16(uint8_t option, uint8_t param, uint16_t* value);
  vErr getUEI32(uint8_t option, uint8_t param, uint32_t* value);
  vErr setUEI8(uint8_t option, uint8_t value);
  vErr setUEI16(uint8_t option, uint16_t value);
  vErr setUEI32(uint8_t option, uint32_t value);
  vErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
  vErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
  vErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
  vErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
  vErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t length, size_t* count);
  // Turns a byte count into a count of elements; returns 1 (count unchanged)
  // when the bytes do not divide into whole elements.
  vErr getUEIBytesCheck(size_t* count, size_t elementSize);
  // Waits for a value the module sends of its own accord; sends nothing.
  vErr awaitUEI32Val(uint8_t option, uint32_t* value, uint32_t unused);
  vErr drainUEI(uint8_t option);

  vErr setStreamEnabled(bool enabled);
  vErr registerOptionCallback(uint8_t option, bool enable, StreamCallback callback, void* ref);
  vErr getStreamStatus(StreamStatusEntry* entries, size_t capacity, size_t* count);

 protected:
  struct impl;
  std::unique_ptr<impl> pimpl_;

 private:
  Link* link() const;
  // Why link() gave none: vErrMemory without state, vErrResource without a
  // module or its Link.
  vErr noLink() const;
  vErr getTyped(uint8_t option, bool withParam, uint8_t param, uint32_t* value);
};

}  // namespace Velmarine
}  // namespace Corvane
