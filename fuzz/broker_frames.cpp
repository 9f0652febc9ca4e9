// Arbitrary client messages into the broker's frame decoding. The input is
// cut into frames: each frame is one length byte and that many bytes (cut
// short at the end of the input). Every frame the broker accepts must give a
// valid packet whose wire form is the frame's start; every frame it refuses
// must break the frame rules; nothing may crash. The same frames, as the
// broker would send them to a client, go through the client's frame check:
// an empty frame is refused, and a frame of exactly one valid packet is taken.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "vServer_ZeroMQ.h"
#include "vStream_ZeroMQClient.h"

static void sCheck(bool condition) {
  if (!condition) abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vPacket* packet = vPacket_Create();
  if (!packet) return 0;
  size_t at = 0;
  while (at < size) {
    size_t length = data[at++];
    if (length > size - at) length = size - at;
    const uint8_t* frame = data + at;
    at += length;
    vErr err = vServer_FrameToPacket(length ? frame : data, length, packet);
    vErr toClient = vStream_CheckBrokerFrame(length ? frame : data, length);
    if (length == 0) sCheck(toClient == vErrSize);
    const bool sizeOk = length >= vSERVER_FRAME_MIN && length <= vSERVER_FRAME_MAX;
    if (!sizeOk) {
      sCheck(err == vErrSize);
      continue;
    }
    const bool lengthOk = frame[1] <= vPACKET_MAX_DATA && size_t(frame[1]) + 2 <= length;
    if (!lengthOk) {
      sCheck(err == vErrPacket);
      continue;
    }
    sCheck(err == vErrNone);
    if (size_t(frame[1]) + 2 == length) sCheck(toClient == vErrNone);
    sCheck(vVALIDPACKET(packet) && vPacket_IsComplete(packet));
    sCheck(packet->address == frame[0] && packet->length == frame[1]);
    sCheck(memcmp(packet->data, frame + 2, packet->length) == 0);
  }
  sCheck(vServer_FrameToPacket(data, size, nullptr) == vErrParam);
  vPacket_Destroy(&packet);
  return 0;
}
