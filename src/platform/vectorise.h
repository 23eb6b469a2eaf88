// ZARVION_VECTORISE before a function's definition: GCC's cheap cost model
// at -O2 leaves some plain loops over pixels scalar (those that read every
// other byte, or widen bytes to ints); its dynamic model vectorises them.
// Nothing on other compilers.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#define ZARVION_VECTORISE __attribute__((optimize("vect-cost-model=dynamic")))
#else
#define ZARVION_VECTORISE
#endif
