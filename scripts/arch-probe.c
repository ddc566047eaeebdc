/* Tells whether this machine runs 32-bit x86 code natively, without running
 * any: LAR on the user 32-bit code selector (0x23) sets ZF only where the
 * kernel provides that segment. A kernel without a 32-bit mode has none, and
 * a qemu-i386 binfmt entry does not matter here because this is a native
 * 64-bit program. Exit 0: it can; 1: it cannot; 2: not an x86-64 machine. */
#include <stdint.h>

int main(void)
{
#if defined(__x86_64__)
    uint32_t rights = 0;
    uint8_t valid = 0;
    __asm__ volatile("lar %2, %0\n\tsetz %1" : "=r"(rights), "=q"(valid) : "r"((uint32_t)0x23) : "cc");
    return valid ? 0 : 1;
#elif defined(__i386__)
    return 0;
#else
    return 2;
#endif
}
