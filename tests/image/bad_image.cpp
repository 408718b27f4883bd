// An image that breaks the rules on purpose: a writable global and
// floating-point instructions. The image checker must reject it.
int Counter = 1;
extern "C" int _fltused = 0;  // the linker expects it of any object with floating point

extern "C" int Entry(void) {
  volatile double scaled = Counter;
  Counter = static_cast<int>(scaled * 1.5);
  return Counter;
}
