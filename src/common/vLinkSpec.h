// How to reach one module: the transport kind and the module's addresses,
// followed by the transport's own fields.
#pragma once
#include <cstdint>

typedef enum linkType : uint32_t {
  linkTypeInvalid = 0,
  linkTypeUSB = 1,
  linkTypeTCPIP = 2,
  linkTypeSerial = 3,
  linkTypeVMesh = 4,
} linkType;

#define vLINKSPEC_PORTNAME_SIZE 100

typedef struct linkSpec {
  linkType type;
  uint32_t serialNumber;
  uint32_t moduleAddress;
  uint32_t routerAddress;
  uint32_t routerSerialNumber;
  uint32_t model;
  union {
    struct {
      uint32_t usbId;
    } usb;
    struct {
      uint32_t ipAddress;  // network byte order: first octet in the lowest byte
      uint32_t ipPort;
    } ip;
    struct {
      uint32_t baudRate;
      char portName[vLINKSPEC_PORTNAME_SIZE];
    } serial;
  } t;
} linkSpec;
