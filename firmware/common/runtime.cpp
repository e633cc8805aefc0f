// The few C library routines that the compiler may call on its own for
// block copies and fills. Built with -fno-tree-loop-distribute-patterns so
// these loops are not turned back into calls to themselves.
#include <stddef.h>
#include <stdint.h>

extern "C" {

void* memcpy(void* dest, const void* src, size_t n) {
    uint8_t* d = static_cast<uint8_t*>(dest);
    const uint8_t* s = static_cast<const uint8_t*>(src);
    while (n--) *d++ = *s++;
    return dest;
}

void* memmove(void* dest, const void* src, size_t n) {
    uint8_t* d = static_cast<uint8_t*>(dest);
    const uint8_t* s = static_cast<const uint8_t*>(src);
    if (d < s) {
        while (n--) *d++ = *s++;
    } else {
        while (n--) d[n] = s[n];
    }
    return dest;
}

void* memset(void* dest, int value, size_t n) {
    uint8_t* d = static_cast<uint8_t*>(dest);
    while (n--) *d++ = static_cast<uint8_t>(value);
    return dest;
}

int memcmp(const void* a, const void* b, size_t n) {
    const uint8_t* x = static_cast<const uint8_t*>(a);
    const uint8_t* y = static_cast<const uint8_t*>(b);
    for (; n; --n, ++x, ++y) {
        if (*x != *y) return *x < *y ? -1 : 1;
    }
    return 0;
}
}
