/* Compiler and platform glue for lwIP on the tunnel's hosts (GCC or Clang,
 * a C library with stdint.h, little- or big-endian as the compiler says). */
#ifndef VANTOR_LWIP_ARCH_CC_H
#define VANTOR_LWIP_ARCH_CC_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define BYTE_ORDER BIG_ENDIAN
#else
#define BYTE_ORDER LITTLE_ENDIAN
#endif

/* The stack's random numbers (initial ports, IPv6 fragment ids) come from
 * the tunnel's generator. */
#ifdef __cplusplus
extern "C" {
#endif
uint32_t vantor_lwip_rand(void);
#ifdef __cplusplus
}
#endif
#define LWIP_RAND() ((u32_t)vantor_lwip_rand())

#define LWIP_PLATFORM_DIAG(x) \
  do {                        \
    printf x;                 \
  } while (0)
/* A failed lwIP assertion means the stack's state is broken: stop at once
 * rather than corrupt connections. */
#define LWIP_PLATFORM_ASSERT(x)                                                                  \
  do {                                                                                           \
    fprintf(stderr, "lwIP assertion \"%s\" failed at line %d in %s\n", (x), __LINE__, __FILE__); \
    fflush(stderr);                                                                              \
    abort();                                                                                     \
  } while (0)

#endif /* VANTOR_LWIP_ARCH_CC_H */
