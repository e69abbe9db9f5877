#pragma once
// QUOREL_PRINTF_FORMAT(formatIndex, firstArg) after a printf-style function's declaration lets
// GCC and clang check the arguments against the format. MinGW's printf family is the C99 one
// (gnu_printf), not the Microsoft one. Other compilers check nothing.
#if defined(__MINGW32__)
#define QUOREL_PRINTF_FORMAT(formatIndex, firstArg) \
  __attribute__((format(gnu_printf, formatIndex, firstArg)))
#elif defined(__GNUC__)
#define QUOREL_PRINTF_FORMAT(formatIndex, firstArg) \
  __attribute__((format(printf, formatIndex, firstArg)))
#else
#define QUOREL_PRINTF_FORMAT(formatIndex, firstArg)
#endif
