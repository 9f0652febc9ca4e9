// A driver of the USB transport for tests: runs the steps given on its command
// line against the link library, one output line per step, so that a test can
// run it with the simulated bus preloaded and read what happened.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "vDiscovery.h"
#include "vLink.h"
#include "vMutex.h"
#include "vPacket.h"
#include "vStream.h"
#include "vStream_USB.h"

namespace {

typedef const char* (*ControlProc)(const char*);

uint32_t sId = 0;
uint32_t sAgain = 0;  // a second holder of a link
vStream* sStream = nullptr;
uint8_t sAddress = 0;
std::vector<std::thread> sInterrupters;  // joined before the stream goes

void JoinInterrupters() {
  for (auto& t : sInterrupters) t.join();
  sInterrupters.clear();
}

const char* Name(vErr e) { return vError_GetErrorText(e); }

// Awaits one packet for up to 1000 ms after sending one; none on a timeout.
vPacket* Exchange(uint8_t address, uint8_t length, const uint8_t* data) {
  uint8_t none = 0;  // a packet without data still needs a byte pointer
  vPacket* request = vPacket_CreateWithData(address, length, length ? data : &none);
  vErr put = vLink_PutPacket(sId, request);
  vPacket_Destroy(&request);
  if (put != vErrNone) return nullptr;
  return vLink_AwaitPacket(sId, 1000);
}

// Enumeration state: how many modules to take before asking to stop (0: all).
struct Listing {
  std::string text;
  int stopAfter = 0;
  int calls = 0;
};

bool ListModule(const linkSpec* found, bool* accepted, void* ref) {
  Listing* listing = (Listing*)ref;
  char line[64];
  snprintf(line, sizeof line, " %08X/%u/%u", found->serialNumber, found->model,
           found->t.usb.usbId == found->serialNumber ? 1u : 0u);
  listing->text += line;
  *accepted = true;
  return listing->stopAfter == 0 || ++listing->calls < listing->stopAfter;
}

bool Step(const std::string& step, const char* argument) {
  if (step == "enumerate") {
    // "enumerate N": every USB module (N 0) or the first N; one line
    // "enumerate SERIAL/MODEL/USBID-MATCHES... count C".
    Listing listing;
    listing.stopAfter = atoi(argument);
    int count = vDiscovery_EnumerateModules(linkTypeUSB, ListModule, &listing, 0);
    printf("enumerate%s count %d\n", listing.text.c_str(), count);
    return true;
  }
  if (step == "find" || step == "find-first") {
    linkSpec* spec = step == "find" ? vDiscovery_FindModule(
                                          linkTypeUSB, uint32_t(strtoul(argument, nullptr, 16)), 0)
                                    : vDiscovery_FindFirstModule(linkTypeUSB, 0);
    if (spec)
      printf("%s %08X model %u type %u\n", step.c_str(), spec->serialNumber, spec->model,
             spec->type);
    else
      printf("%s none\n", step.c_str());
    vLinkSpec_Destroy(&spec);
    return true;
  }
  if (step == "create") {
    sId = vLink_CreateUSB(uint32_t(strtoul(argument, nullptr, 16)));
    printf("create %s\n", sId ? "ok" : "failed");
  } else if (step == "probe") {
    vPacket* reply = Exchange(0xAD, 0, nullptr);
    if (reply && reply->length == 0 && reply->address != 0) {
      sAddress = reply->address;
      printf("address %u\n", unsigned(sAddress));
    } else {
      printf("address none\n");
    }
    vPacket_Destroy(&reply);
  } else if (step == "model") {
    const uint8_t get[3] = {3, 0x48, 0x20};
    vPacket* reply = Exchange(sAddress, 3, get);
    if (reply && reply->length == 4 && reply->address == sAddress && reply->data[0] == 3) {
      printf("model %u\n", unsigned(reply->data[3]));
    } else {
      printf("model none\n");
    }
    vPacket_Destroy(&reply);
  } else if (step == "status") {
    printf("status %u\n", vLink_GetStatus(sId));
  } else if (step == "await-status") {
    uint32_t want = uint32_t(atoi(argument));
    uint32_t status = vLink_GetStatus(sId);
    for (int i = 0; i < 1000 && status != want; i++) {
      vTime_MSSleep(10);
      status = vLink_GetStatus(sId);
    }
    printf("status %u\n", status);
  } else if (step == "again") {
    sAgain = vLink_CreateUSB(uint32_t(strtoul(argument, nullptr, 16)));
    printf("again %s\n", !sAgain ? "failed" : sAgain == sId ? "same" : "other");
  } else if (step == "drop") {
    printf("drop %s\n", Name(vLink_Destroy(&sAgain)));
  } else if (step == "destroy") {
    vErr e = vLink_Destroy(&sId);
    printf("destroy %s\n", Name(e));
  } else if (step == "stream") {
    vErr e = vStream_CreateUSB(uint32_t(strtoul(argument, nullptr, 16)), &sStream);
    printf("stream %s\n", Name(e));
  } else if (step == "write") {
    int n = atoi(argument);
    uint8_t bytes[4096];
    if (n < 0 || n > int(sizeof(bytes))) n = 0;
    for (int i = 0; i < n; i++) bytes[i] = uint8_t(i);
    printf("write %s\n", Name(vStream_Write(sStream, bytes, size_t(n))));
  } else if (step == "get") {
    uint8_t byte = 0;
    vErr e = sStream ? sStream->getProc(&byte, sStream->ref) : vErrParam;
    printf("get %s\n", Name(e));
  } else if (step == "read") {
    // One byte through the stream's read, with the byte when there is one.
    uint8_t byte = 0;
    vErr e = sStream ? vStream_Read(sStream, &byte, 1) : vErrParam;
    if (e == vErrNone)
      printf("read %02X\n", byte);
    else
      printf("read %s\n", Name(e));
  } else if (step == "interrupt-after") {
    // Interrupts the stream's pending read from another thread after N ms.
    int ms = atoi(argument);
    vStream* stream = sStream;
    sInterrupters.emplace_back([stream, ms] {
      vTime_MSSleep(uint32_t(ms));
      vStream_Interrupt(stream);
    });
    printf("interrupt-after %d\n", ms);
  } else if (step == "probe-raw") {
    // The magic probe written straight to the stream.
    const uint8_t probe[2] = {0xAD, 0};
    printf("probe-raw %s\n", Name(vStream_Write(sStream, probe, 2)));
  } else if (step == "sync") {
    printf("sync %s\n", Name(vLink_Sync(sId)));
  } else if (step == "gets") {
    // Many reads in a row, summed up by result.
    int n = atoi(argument);
    std::map<std::string, int> results;
    for (int i = 0; i < n; i++) {
      uint8_t byte = 0;
      results[Name(sStream ? sStream->getProc(&byte, sStream->ref) : vErrParam)]++;
    }
    printf("gets");
    for (const auto& r : results) printf(" %s=%d", r.first.c_str(), r.second);
    printf("\n");
  } else if (step == "close") {
    JoinInterrupters();
    printf("close %s\n", Name(vStream_Destroy(&sStream)));
  } else if (step == "control" || step == "log") {
    ControlProc control =
        reinterpret_cast<ControlProc>(dlsym(RTLD_DEFAULT, "velmarine_usb_sim_control"));
    if (!control) {
      printf("control unavailable\n");
      return false;
    }
    const char* reply = control(step == "log" ? "log" : argument);
    printf("%s%s", step == "log" ? "" : "control ", reply);
    if (step != "log") printf("\n");
  } else {
    fprintf(stderr, "unknown step '%s'\n", step.c_str());
    return false;
  }
  fflush(stdout);
  return true;
}

bool TakesArgument(const std::string& step) {
  return step == "create" || step == "again" || step == "await-status" || step == "stream" ||
         step == "write" || step == "gets" || step == "control" || step == "enumerate" ||
         step == "find" || step == "interrupt-after";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr,
            "usage: %s STEP... (create SERIAL, again SERIAL, drop, probe, model, status,\n"
            "       await-status N, destroy,\n"
            "       stream SERIAL, write N, get, gets N, read, probe-raw, interrupt-after MS,\n"
            "       sync, close, control TEXT, log,\n"
            "       enumerate N, find SERIAL, find-first)\n",
            argv[0]);
    return 2;
  }
  for (int i = 1; i < argc; i++) {
    std::string step = argv[i];
    const char* argument = "";
    if (TakesArgument(step)) {
      if (i + 1 >= argc) {
        fprintf(stderr, "step '%s' needs an argument\n", step.c_str());
        return 2;
      }
      argument = argv[++i];
    }
    if (!Step(step, argument)) return 1;
  }
  JoinInterrupters();
  if (sStream) vStream_Destroy(&sStream);
  if (sAgain) vLink_Destroy(&sAgain);
  if (sId) vLink_Destroy(&sId);
  ControlProc control =
      reinterpret_cast<ControlProc>(dlsym(RTLD_DEFAULT, "velmarine_usb_sim_control"));
  if (control) control("stop");
  return 0;
}
