// Compiler-specific spellings used by the library's portable code.
#pragma once

#if defined(_MSC_VER)
// MSVC builds alias exports through the module definition file instead.
#  define KN_ALIAS_OF(target)
#else
// Declares a function as a second name for an existing definition (one address).
#  define KN_ALIAS_OF(target) __attribute__((alias(#target)))
#endif
