// The simulated machine's bus: port and physical-memory accesses are routed
// to device models, and every access is recorded in order so that tests can
// assert exact access sequences. Shared by the host32 platform seam and the
// emulated machine (emu/), so one set of device models serves both.
#ifndef STATUSSINK_SIM_MACHINE_H
#define STATUSSINK_SIM_MACHINE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

enum class AccessKind : uint8_t { IoRead, IoWrite, MemRead, MemWrite, InterruptsOff, InterruptsOn };

struct Access {
  AccessKind kind;
  uint32_t address;  // port number or physical address (0 for interrupt flag changes)
  uint8_t width;     // bytes: 1, 2 or 4
  uint32_t value;
  bool operator==(const Access&) const = default;
};

std::string Describe(const Access& access);

// Shorthands for expected access sequences in tests.
inline Access IoR(uint32_t port, uint8_t width, uint32_t value) { return {AccessKind::IoRead, port, width, value}; }
inline Access IoW(uint32_t port, uint8_t width, uint32_t value) { return {AccessKind::IoWrite, port, width, value}; }
inline Access MemR(uint32_t addr, uint8_t width, uint32_t value) { return {AccessKind::MemRead, addr, width, value}; }
inline Access MemW(uint32_t addr, uint8_t width, uint32_t value) { return {AccessKind::MemWrite, addr, width, value}; }

// A device decoding I/O ports.
class IoDevice {
 public:
  virtual ~IoDevice() = default;
  virtual bool ClaimsPort(uint16_t port) const = 0;
  virtual uint32_t IoRead(uint16_t port, unsigned width) = 0;
  virtual void IoWrite(uint16_t port, unsigned width, uint32_t value) = 0;
};

// A device decoding a physical address range.
class MemDevice {
 public:
  virtual ~MemDevice() = default;
  virtual bool ClaimsAddress(uint32_t address) const = 0;
  virtual uint32_t MemRead(uint32_t address, unsigned width) = 0;
  virtual void MemWrite(uint32_t address, unsigned width, uint32_t value) = 0;
  // RAM costs a board no bus cycle of its own (the board clock charges it nothing).
  virtual bool IsRam() const { return false; }
};

class BoardClock;

class Machine {
 public:
  // Devices are owned by the caller and must outlive the machine's use.
  void Attach(IoDevice& device) { io_.push_back(&device); }
  void Attach(MemDevice& device) { mem_.push_back(&device); }

  // Unclaimed reads float high (all ones); unclaimed writes are dropped. All are logged.
  uint32_t IoRead(uint16_t port, unsigned width);
  void IoWrite(uint16_t port, unsigned width, uint32_t value);
  uint32_t MemRead(uint32_t address, unsigned width);
  // True when a device took the write.
  bool MemWrite(uint32_t address, unsigned width, uint32_t value);
  // True when some device decodes the address (the emulator maps only these).
  bool Decodes(uint32_t address) const;

  bool InterruptFlag() const { return interruptFlag_; }
  void SetInterruptFlag(bool enabled);  // logged as InterruptsOn/InterruptsOff

  // Called with every access as it is made, and whether a device claimed it
  // (unclaimed, a read floats high): for watchers that need more than the
  // log keeps or tells.
  using Observer = std::function<void(const Access&, bool claimed)>;
  void Observe(Observer observer) { observer_ = std::move(observer); }

  // Each access moves this clock on by its cost, the device seeing the time
  // the access began (null: no clock).
  void SetClock(BoardClock* clock) { clock_ = clock; }

  // What the bus keeps of its past (the log, the count, the interrupt flag),
  // taken and put back as a whole; the devices and the observer stay.
  struct State {
    std::vector<Access> log;
    uint64_t accessCount = 0;
    bool interruptFlag = true;
  };
  State Save() const { return {log_, accessCount_, interruptFlag_}; }
  void Restore(const State& state) {
    log_ = state.log;
    accessCount_ = state.accessCount;
    interruptFlag_ = state.interruptFlag;
  }

  const std::vector<Access>& Log() const { return log_; }
  // Empties the log and its count: a log started again after the board's set-up.
  void ClearLog() {
    log_.clear();
    accessCount_ = 0;
  }
  // The log keeps at most this many entries; later accesses are only counted.
  void SetLogLimit(size_t limit) { logLimit_ = limit; }
  uint64_t AccessCount() const { return accessCount_; }
  // Accesses of the log that match a filter, in order.
  std::vector<Access> Filter(const std::function<bool(const Access&)>& keep) const;
  std::vector<Access> PortAccesses(uint16_t first, uint16_t last) const;
  std::vector<Access> MemAccesses(uint32_t first, uint32_t last) const;

 private:
  void Record(const Access& access, bool claimed);
  std::vector<IoDevice*> io_;
  std::vector<MemDevice*> mem_;
  std::vector<Access> log_;
  size_t logLimit_ = 4u << 20;
  uint64_t accessCount_ = 0;
  Observer observer_;
  BoardClock* clock_ = nullptr;
  bool interruptFlag_ = true;
};

}  // namespace sim

#endif  // STATUSSINK_SIM_MACHINE_H
