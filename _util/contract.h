// _util/contract: the one contract check of the template library.
// A failed check reports the expression text, the library path of the header that
// checks it (such as "_util/tensor", never this machine's path) and the line,
// through the C runtime's assertion report, which ends the process. Always on,
// also in optimised builds: the checks guard programming errors, not data.
#pragma once
#include <cassert>
#include <cstdio>
#include <cstdlib>

#if defined(__GLIBC__)
// <assert.h> declares the runtime's report only without NDEBUG; the checks stay on
// in optimised builds, so declare it here too.
extern "C" void __assert_fail(const char* expr, const char* file, unsigned line, const char* func) noexcept
    __attribute__((__noreturn__));
#endif

[[noreturn]] inline void contract_fail(const char* expr, const char* path, unsigned line, const char* func)
{
#if defined(__GLIBC__)
  __assert_fail(expr, path, line, func);
#else
  std::fprintf(stderr, "%s:%u: %s: Assertion `%s' failed.\n", path, line, func, expr);
  std::fflush(stderr);
  std::abort();
#endif
}

// VY_CONTRACT(expression, "_util/name")
#define VY_CONTRACT(expr, path) ((expr) ? (void)0 : contract_fail(#expr, path, __LINE__, __func__))
