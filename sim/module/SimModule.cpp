// The module model: system entity (class 3) with every option a host can get or
// set, the 0x49 build and table queries, the 0x17 echo, and a dispatch table
// that later work extends with further command handlers.
#include "SimModule.h"

#include <cstdio>

#include "vErr.h"

namespace velsim {

namespace {

// Commands whose payload is not a UEI message: a module never answers them
// with a UEI error reply.
bool IsNonUEICommand(uint8_t c) {
  switch (c) {
    case 0:
    case 1:
    case 2:
    case 4:
    case 8:
    case 9:
    case 23:
    case 24:
    case 73:
    case 94:
    case 95:
    case 173:
    case 175: return true;
    default: return false;
  }
}

std::string Hex(uint8_t b) {
  char buf[8];
  snprintf(buf, sizeof buf, "0x%02X", b);
  return buf;
}

void PutU32(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(uint8_t(x >> 24));
  v.push_back(uint8_t(x >> 16));
  v.push_back(uint8_t(x >> 8));
  v.push_back(uint8_t(x));
}

}  // namespace

const std::vector<OptionSpec>& SystemOptions() {
  static const std::vector<OptionSpec> table = {
      {1, Width::U8, kGet, "module", 0, 0},
      {2, Width::U8, kGet | kSet, "router", 0, 0},
      {3, Width::U8, kGet | kSet, "heartbeat interval", 0, 0},
      {4, Width::U8, kGet | kSet, "LED", 0, 0},
      {6, Width::U8, kGet | kSet, "boot slot", 0, 0},
      {7, Width::U32, kGet, "version", 0, 0},
      {8, Width::U8, kGet, "model", 0, 0},
      {9, Width::U32, kGet, "serial number", 0, 0},
      {10, Width::None, kCall, "save", 0, 0},
      {11, Width::None, kCall, "reset", 0, 0},
      {12, Width::U32, kGet, "input voltage", 0, 0},
      {13, Width::U8, kGet, "module hardware offset", 0, 0},
      {14, Width::U8, kGet, "module base address", 0, 0},
      {15, Width::U8, kGet | kSet, "module software offset", 0, 0},
      {16, Width::U8, kGet, "router address setting", 0, 0},
      {20, Width::U8, kSet, "route to me", 0, 0},
      {21, Width::U32, kGet, "input current", 0, 0},
      {22, Width::U32, kGet, "uptime", 0, 0},
      {23, Width::U32, kGet, "maximum temperature", 0, 0},
      {24, Width::None, kCall, "log events", 0, 0},
      {25, Width::U32, kGet, "unregulated voltage", 0, 0},
      {26, Width::U32, kGet, "unregulated current", 0, 0},
      {27, Width::U32, kGet, "temperature", 0, 0},
      {28, Width::U32, kGet, "minimum temperature", 0, 0},
      {29, Width::U8, kGet, "input power source", 0, 0},
      {30, Width::U8, kGet | kSet, "input power behavior", 0, 0},
      {31, Width::Bytes, kGet | kSet, "input power behavior config", 64, 4},
      {32, Width::Bytes, kGet | kSet, "name", 32, 1},
      {33, Width::U32, kGet, "power limit", 0, 0},
      {34, Width::U32, kGet | kSet, "power limit maximum", 0, 0},
      {35, Width::U32, kGet, "power limit state", 0, 0},
      {36, Width::None, kCall, "reset entity to factory defaults", 0, 0},
      {37, Width::None, kCall, "reset device to factory defaults", 0, 0},
      {38, Width::U8, kGet | kSet, "link interface", 0, 0},
      {39, Width::U32, kGet, "fingerprint", 0, 0},
      {40, Width::U32, kGet, "hardware version", 0, 0},
      {41, Width::U32, kGet, "errors", 0, 0},
      {42, Width::U8, kGet | kSet, "LED maximum brightness", 0, 0},
      {43, Width::U32, kGet, "build", 0, 0},
  };
  return table;
}

const OptionSpec* FindSystemOption(uint8_t code) {
  for (const auto& o : SystemOptions())
    if (o.code == code) return &o;
  return nullptr;
}

SimModule::SimModule(const ModuleConfig& config)
    : config_(config), started_(std::chrono::steady_clock::now()) {
  // Plausible readings: micro-volts, micro-amperes, micro-degrees Celsius, milliwatts.
  defaults_ = {{4, 1},         {6, 0},         {12, 5000000}, {13, 0},      {15, 0},
               {21, 250000},   {23, 45000000}, {25, 5100000}, {26, 300000}, {27, 32500000},
               {28, 21000000}, {29, 1},        {30, 0},       {33, 15000},  {34, 15000},
               {35, 0},        {38, 0},        {40, 2},       {41, 0},      {42, 255}};
  values_ = defaults_;
  saved_ = defaults_;
  defaultBytes_[32] = std::vector<uint8_t>(config.name.begin(), config.name.end());
  if (defaultBytes_[32].size() > 32) defaultBytes_[32].resize(32);
  defaultBytes_[31] = {};
  bytes_ = defaultBytes_;
  if (!config_.stateFile.empty()) LoadState();
  if (config_.inLoader) initDone_ = loaderRunning_ = true;
}

void SimModule::RegisterCommand(uint8_t command, CommandHandler handler) {
  handlers_[command] = std::move(handler);
}

uint8_t SimModule::EntityCount(uint8_t command) const {
  auto it = entityCounts_.find(command);
  return it == entityCounts_.end() ? 0 : it->second;
}

uint32_t SimModule::Value(uint8_t option) const {
  switch (option) {
    case 1: return config_.address;
    case 2: return config_.router;
    case 3: return (config_.heartbeatMs + 50) / 100;
    case 7: return config_.version;
    case 8: return config_.model;
    case 9: return config_.serial;
    case 14: return config_.address;
    case 16: return config_.router;
    case 22:
      return uint32_t(std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::steady_clock::now() - started_)
                          .count());
    case 43: return config_.build;
    default: {
      auto it = values_.find(option);
      return it == values_.end() ? 0 : it->second;
    }
  }
}

void SimModule::SetValue(uint8_t option, uint32_t value) {
  switch (option) {
    case 2: config_.router = uint8_t(value); break;
    // The heartbeat interval travels in tenths of a second.
    case 3: config_.heartbeatMs = (value & 0xFF) * 100; break;
    default: values_[option] = value; break;
  }
}

void SimModule::ResetToDefaults() {
  values_ = defaults_;
  bytes_ = defaultBytes_;
}

Packet SimModule::ErrorReply(const Packet& request, uint8_t optionByte, int code) const {
  uint8_t index = request.length > 2 ? uint8_t(request.data[2] & 0x1F) : 0;
  return Packet::Make(config_.address,
                      {request.data[0], optionByte, uint8_t(index | 0x80), uint8_t(code)});
}

void SimModule::Handle(const Packet& request, ByteRun& run, Replies& out,
                       std::vector<std::string>& notes) {
  if (request.length == 0) {
    notes.push_back("zero-length packet addressed to module " + Hex(config_.address));
    return;
  }
  uint8_t command = request.data[0];
  auto h = handlers_.find(command);
  if (h != handlers_.end()) {
    h->second(*this, request, out);
    return;
  }
  switch (command) {
    case kSystemCommand: HandleSystem(request, run, out, notes); return;
    case kQueryCommand: HandleQuery(request, out, notes); return;
    case kEchoCommand: out.Add(Packet::Make(config_.address, request.Data())); return;
    case kUpgradeCommand: HandleUpgrade(request, out, notes); return;
    default: break;
  }
  if (IsNonUEICommand(command)) {
    notes.push_back("command " + Hex(command) + " is not handled by this module");
    return;
  }
  // A UEI request to an entity class this module does not have.
  if (request.length < 3) {
    out.Add(
        Packet::Make(config_.address, {command, request.length > 1 ? request.data[1] : uint8_t(0),
                                       0x80, uint8_t(vErrShortCommand)}));
    return;
  }
  uint8_t op = request.data[1];
  if ((op & 0xC0) == 0x40)
    out.Add(ErrorReply(request, op & 0x3F, vErrInvalidEntity));
  else if ((op & 0xC0) == 0x80)
    out.Add(ErrorReply(request, uint8_t(op | 0xC0), vErrInvalidEntity));
  else
    notes.push_back("UEI packet for command " + Hex(command) + " is neither get nor set");
}

void SimModule::HandleSystem(const Packet& request, ByteRun& run, Replies& out,
                             std::vector<std::string>& notes) {
  const uint8_t cmd = request.data[0];
  if (request.length < 3) {
    out.Add(Packet::Make(config_.address, {cmd, request.length > 1 ? request.data[1] : uint8_t(0),
                                           0x80, uint8_t(vErrShortCommand)}));
    return;
  }
  const uint8_t opByte = request.data[1], idxByte = request.data[2];
  const uint8_t code = opByte & 0x3F, index = idxByte & 0x1F;
  const bool isGet = (opByte & 0xC0) == 0x40, isSet = (opByte & 0xC0) == 0x80;
  if (!isGet && !isSet) {
    notes.push_back("system packet option byte " + Hex(opByte) + " is neither get nor set");
    return;
  }
  if (!(idxByte & 0x20)) notes.push_back("request index byte " + Hex(idxByte) + " lacks 0x20");
  const uint8_t replyOp = isGet ? code : uint8_t(code | 0xC0);
  auto fail = [&](int err) {
    run.active = false;
    out.Add(ErrorReply(request, replyOp, err));
  };
  if (index >= EntityCount(cmd)) return fail(vErrInvalidEntity);
  const OptionSpec* spec = FindSystemOption(code);
  if (!spec) return fail(vErrInvalidOption);

  if (isGet) {
    if (!(spec->access & kGet)) return fail(vErrMode);
    if (request.length > 4) return fail(vErrSize);  // at most a one-byte parameter
    std::vector<uint8_t> head = {cmd, code, index};
    if (spec->width == Width::U8) {
      head.push_back(uint8_t(Value(code)));
      out.Add(Packet::Make(config_.address, head));
    } else if (code == 39) {
      // One fingerprint word per get: parameter j reads word 3 - j.
      uint8_t j = request.length == 4 ? request.data[3] : 0;
      if (j > 3) return fail(vErrParam);
      PutU32(head, config_.fingerprint[3 - j]);
      out.Add(Packet::Make(config_.address, head));
    } else if (spec->width == Width::U32) {
      PutU32(head, Value(code));
      out.Add(Packet::Make(config_.address, head));
    } else {
      // A byte value leaves in packets of up to 24 bytes, each ending with its
      // sequence number and 0x80 while more follow.
      const std::vector<uint8_t>& bytes = bytes_[code];
      size_t offset = 0;
      uint8_t seq = 0;
      do {
        size_t k = std::min<size_t>(24, bytes.size() - offset);
        std::vector<uint8_t> d = head;
        d.insert(d.end(), bytes.begin() + long(offset), bytes.begin() + long(offset + k));
        offset += k;
        d.push_back(uint8_t((seq & 0x7F) | (offset < bytes.size() ? 0x80 : 0)));
        out.Add(Packet::Make(config_.address, d));
        ++seq;
      } while (offset < bytes.size());
    }
    return;
  }

  // Set and call requests.
  if (!(spec->access & (kSet | kCall))) return fail(vErrMode);
  const uint8_t n = request.length;
  auto ack = [&] { out.Add(Packet::Make(config_.address, {cmd, replyOp, index})); };
  switch (spec->width) {
    case Width::None:
      if (n > 4) return fail(vErrSize);
      if (code == 10) {
        ++saves_;
        saved_ = values_;
      } else if (code == 11) {
        ++resets_;
        values_ = saved_;
      } else if (code == 24) {
        ++logEvents_;
      } else if (code == 36 || code == 37) {
        ResetToDefaults();
      }
      return ack();
    case Width::U8:
      if (n != 4 && n != 5) return fail(vErrSize);  // value, or sub-index and value
      SetValue(code, request.data[n - 1]);
      return ack();
    case Width::U32:
      if (n != 7 && n != 8) return fail(vErrSize);
      SetValue(code, uint32_t(request.data[n - 4]) << 24 | uint32_t(request.data[n - 3]) << 16 |
                         uint32_t(request.data[n - 2]) << 8 | request.data[n - 1]);
      return ack();
    case Width::Bytes: {
      if (n < 4) return fail(vErrShortCommand);
      const uint8_t last = request.data[n - 1];
      const uint8_t seq = last & 0x7F;
      const bool more = (last & 0x80) != 0;
      if (seq == 0) {
        run = ByteRun{};
        run.active = true;
        run.command = cmd;
        run.option = code;
        run.index = index;
      } else if (!run.active || run.command != cmd || run.option != code || run.index != index ||
                 run.expected != seq) {
        notes.push_back("byte value packet out of sequence (" + std::to_string(seq) + ")");
        run.active = true;
        run.command = cmd;
        run.option = code;
        run.index = index;
        if (!run.error) run.error = vErrPacket;
      }
      run.expected = uint8_t((seq + 1) & 0x7F);
      run.bytes.insert(run.bytes.end(), request.data.begin() + 3, request.data.begin() + (n - 1));
      if (!run.error && run.bytes.size() > spec->maxBytes) run.error = vErrSize;
      if (more) return;  // only the last packet of a byte value is answered
      if (!run.error && run.bytes.size() % spec->unit) run.error = vErrSize;
      int err = run.error;
      std::vector<uint8_t> bytes = std::move(run.bytes);
      run = ByteRun{};
      if (err) return fail(err);
      bytes_[code] = std::move(bytes);
      return ack();
    }
  }
}

void SimModule::HandleQuery(const Packet& request, Replies& out, std::vector<std::string>& notes) {
  const auto d = request.Data();
  const uint8_t a = config_.address;
  if (d.size() == 2 && d[1] == 0xFF) {
    std::vector<uint8_t> r = {kQueryCommand, 0xFF};
    PutU32(r, config_.build);
    out.Add(Packet::Make(a, r));
    return;
  }
  if (d.size() == 6 && d[1] == 1) {
    const uint8_t cls = d[2], option = d[3] & 0x3F, index = d[4] & 0x1F, flags = d[5];
    int answer = vErrNone;
    if ((flags & 0x3F) || (flags & 0xC0) == 0xC0) {
      answer = vErrParam;
    } else if (index >= EntityCount(cls)) {
      answer = vErrInvalidEntity;
    } else if (cls == kSystemCommand) {
      const OptionSpec* spec = FindSystemOption(option);
      if (!spec)
        answer = vErrInvalidOption;
      else if ((flags & 0x40) && !(spec->access & kGet))
        answer = vErrMode;
      else if ((flags & 0x80) && !(spec->access & (kSet | kCall)))
        answer = vErrMode;
    }
    out.Add(Packet::Make(a, {kQueryCommand, 1, d[2], d[3], d[4], uint8_t(answer)}));
    return;
  }
  if (d.size() == 3 && d[1] == 4) {
    out.Add(Packet::Make(a, {kQueryCommand, 4, d[2], EntityCount(d[2])}));
    return;
  }
  if (d.size() == 4 && (d[1] == 5 || d[1] == 6)) {
    // No subclasses and a single group in this model.
    out.Add(Packet::Make(a, {kQueryCommand, d[1], d[2], d[3], 0}));
    return;
  }
  notes.push_back("malformed 0x49 query: " + request.Describe());
}

}  // namespace velsim
