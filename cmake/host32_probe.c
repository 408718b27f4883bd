/* Built for i386 at configure time: does this kernel run it? */
int main(void) { return sizeof(void*) == 4 ? 0 : 1; }
