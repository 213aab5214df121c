// Lean replacements for parts of libstdc++, linked into the Windows programs.
//
// The programs catch no exception: the library and the programs report every
// failure through their results, so an exception that the C++ library throws
// (a string grown past its maximum size, memory exhausted) always ends the
// program through std::terminate. libstdc++'s own versions of the pieces
// below do the same, but pull in its printf, the demangler and a second,
// reference-counted string implementation: most of a small program's size.
// The replacements keep what the program does and leave that code out.
#include <bits/functexcept.h>

#include <cstdlib>
#include <exception>
#include <new>
#include <typeinfo>

namespace __gnu_cxx {

// The default terminate handler prints the uncaught exception's demangled
// type to stderr, which a GUI-subsystem program does not have.
void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx

// The library's throw helpers; they must all be here, since any one missing
// would link libstdc++'s file of them and clash with the rest. The exceptions
// that carry a message end the program as an uncaught one would; those
// without keep being thrown, since they need no string.
namespace std {

void __throw_bad_exception() { throw bad_exception(); }
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_bad_cast() { throw bad_cast(); }
void __throw_bad_typeid() { throw bad_typeid(); }
void __throw_logic_error(const char*) { terminate(); }
void __throw_domain_error(const char*) { terminate(); }
void __throw_invalid_argument(const char*) { terminate(); }
void __throw_length_error(const char*) { terminate(); }
void __throw_out_of_range(const char*) { terminate(); }
void __throw_out_of_range_fmt(const char*, ...) { terminate(); }
void __throw_runtime_error(const char*) { terminate(); }
void __throw_range_error(const char*) { terminate(); }
void __throw_overflow_error(const char*) { terminate(); }
void __throw_underflow_error(const char*) { terminate(); }

}  // namespace std
