#include "emu/Cpu.h"

#include <stdexcept>

namespace emu {

void Check(uc_err err, const std::string& what) {
  if (err != UC_ERR_OK) throw std::runtime_error("emulator: " + what + ": " + uc_strerror(err));
}

Cpu::Cpu() : uc_(nullptr, [](uc_struct* u) {
               if (u != nullptr) uc_close(u);
             }) {
  uc_engine* raw = nullptr;
  Check(uc_open(UC_ARCH_X86, UC_MODE_32, &raw), "opening the CPU");
  uc_.reset(raw);
}

uint32_t Cpu::Read(int reg) const {
  uint32_t value = 0;
  uc_reg_read(uc_.get(), reg, &value);
  return value;
}

void Cpu::Write(int reg, uint32_t value) { uc_reg_write(uc_.get(), reg, &value); }

// The accessed bits are preset so that loading a segment never writes the table.
const uint64_t Cpu::kFlatGdt[3] = {0, 0x00CF9B000000FFFFull, 0x00CF93000000FFFFull};

void Cpu::EnterFlatMode(uint32_t gdt, uint32_t idtBase, uint16_t idtLimit) {
  uc_engine* uc = uc_.get();
  uc_x86_mmr gdtr{0, gdt, sizeof kFlatGdt - 1, 0};
  Check(uc_reg_write(uc, UC_X86_REG_GDTR, &gdtr), "loading the GDT");
  uint32_t cr0 = 0;
  uc_reg_read(uc, UC_X86_REG_CR0, &cr0);
  cr0 |= 1;  // protection enabled, paging off
  Check(uc_reg_write(uc, UC_X86_REG_CR0, &cr0), "setting CR0");
  uint32_t code = 0x08, data = 0x10;
  Check(uc_reg_write(uc, UC_X86_REG_CS, &code), "loading CS");
  for (int reg : {UC_X86_REG_DS, UC_X86_REG_ES, UC_X86_REG_SS, UC_X86_REG_FS, UC_X86_REG_GS})
    Check(uc_reg_write(uc, reg, &data), "loading a data segment");
  uc_x86_mmr idtr{0, idtBase, idtLimit, 0};
  Check(uc_reg_write(uc, UC_X86_REG_IDTR, &idtr), "loading the IDT register");
}

}  // namespace emu
