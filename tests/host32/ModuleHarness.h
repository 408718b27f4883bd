// A simulated board and PEI environment for tests of the module's code, plus
// builders for the data records that reports carry.
#ifndef STATUSSINK_TESTS_MODULEHARNESS_H
#define STATUSSINK_TESTS_MODULEHARNESS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sim/host32/HostPlatform.h"
#include "sim/host32/PeiEnvironment.h"
#include "sim/SimPlatform.h"
#include "include/PiTypes.h"
#include "postcode/PostCode.h"

namespace test {

// Port 0x80 writes after which a harness takes its handlers to be blinking.
// No report that must not blink writes more than a few codes, while a blink
// loop writes 983,040 per phase and never returns: a fault that makes a
// report blink fails its test at once instead of running into the test's
// time limit. Tests of the blink loop set a stop of their own.
constexpr uint64_t kPostCodeWritesWithoutBlink = 100000;

struct ModuleHarness {
  sim::Platform platform;
  sim::ScopedPlatform scope{platform};
  sim::PeiEnvironment env;
  ModuleHarness() {
    platform.postCodes.StopAfter(kPostCodeWritesWithoutBlink, [] {
      ADD_FAILURE() << "port 0x80 got " << kPostCodeWritesWithoutBlink
                    << " writes: a handler blinks where no blink is expected";
      std::fflush(stdout);
      std::_Exit(1);
    });
  }
  const EFI_PEI_SERVICES** services() { return env.Services(); }
};

// A data record: the 20-byte header followed by `payload` bytes, 4-byte aligned.
class DataRecord {
 public:
  DataRecord(const EFI_GUID& type, size_t payloadBytes, uint16_t size)
      : words_((20 + payloadBytes + 3) / 4 + 1, 0) {
    auto* header = reinterpret_cast<EFI_STATUS_CODE_DATA*>(words_.data());
    header->HeaderSize = 20;
    header->Size = size;
    header->Type = type;
  }
  const EFI_STATUS_CODE_DATA* get() const { return reinterpret_cast<const EFI_STATUS_CODE_DATA*>(words_.data()); }
  uint8_t* bytes() { return reinterpret_cast<uint8_t*>(words_.data()); }
  void PutU32(size_t offset, uint32_t value) { std::memcpy(bytes() + offset, &value, 4); }
  void PutPointer(size_t offset, const void* p) { PutU32(offset, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p))); }
  void PutString(size_t offset, const char* text) { std::memcpy(bytes() + offset, text, std::strlen(text) + 1); }

 private:
  std::vector<uint32_t> words_;
};

// Data of the status-code-specific type whose first payload word points at `module`.
inline DataRecord ModuleData(const EFI_GUID* module) {
  DataRecord record(StatusCodeSpecificDataGuid, 4, 4);
  record.PutPointer(20, module);
  return record;
}

// The GUID of the first platform module whose base POST code is `base`.
inline const EFI_GUID* ModuleWithBase(uint32_t base) {
  for (uint32_t i = 0; i + 1 < CallerPostCodeRows; ++i)
    if (CallerPostCodeTable[i].PostCode == base) return &CallerPostCodeTable[i].Guid;
  return nullptr;
}

}  // namespace test

#endif
