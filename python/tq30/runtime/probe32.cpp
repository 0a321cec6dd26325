// Tells whether this host runs 32-bit code inside a 64-bit process, which Wine's WoW64 mode
// needs: switches to the 32-bit user code segment (selector 0x23) and back to the 64-bit
// one (0x33). Prints "32-bit code runs" and exits 0 when it came back; a host without that
// compatibility mode ends it with SIGSEGV at the switch. Built without PIE so that every
// address it jumps to fits in 32 bits.
#include <cstdio>

extern "C" int SwitchTo32BitAndBack();

// The stack stays untouched while in 32-bit mode (its address does not fit in 32 bits), so
// the 64-bit stack pointer is kept in memory across the switch.
asm(R"(
  .text
  .code64
  .globl SwitchTo32BitAndBack
SwitchTo32BitAndBack:
  push %rbx
  push %rbp
  mov %rsp, savedStack(%rip)
  pushq $0x23
  lea in32BitMode(%rip), %rax
  push %rax
  lretq
  .code32
in32BitMode:
  ljmp $0x33, $back64BitMode
  .code64
back64BitMode:
  mov savedStack(%rip), %rsp
  pop %rbp
  pop %rbx
  mov $1, %eax
  ret
  .data
savedStack:
  .quad 0
  .text
)");

int main() {
  if (SwitchTo32BitAndBack() != 1) {
    return 1;
  }
  std::puts("32-bit code runs");
  return 0;
}
