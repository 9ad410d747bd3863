// Compiler-specific spellings used by the library's portable code.
#pragma once

#if defined(_WIN32)
// Windows builds give an entry point its second exported name in the module
// definition file (cmake/win32/), so the declaration stays a declaration.
#  define KN_ALIAS_OF(target)
#else
// Declares a function as a second name for an existing definition (one address).
#  define KN_ALIAS_OF(target) __attribute__((alias(#  target)))
#endif
