// Lean replacements for parts of libstdc++, linked into the Windows programs.
//
// The archive library turns any exception of the C++ library (memory
// exhausted, a string grown past its maximum size) into a failed operation,
// which the programs report as a broken installer. libstdc++'s own versions
// of the pieces below pull in its printf, the demangler and a second,
// reference-counted string implementation: most of a small program's size.
// The replacements keep every exception catchable and leave that code out.
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
// would link libstdc++'s file of them and clash with the rest. The standard
// exceptions that carry a message need libstdc++'s string; in their place a
// string-free exception with the same text is thrown, which catch (...) and
// catch (const std::exception&) still catch.
namespace {

class LibraryError : public std::exception {
public:
    explicit LibraryError(const char* what) : m_what(what) {}
    const char* what() const noexcept override { return m_what; }

private:
    const char* m_what;
};

}  // namespace

namespace std {

void __throw_bad_exception() { throw bad_exception(); }
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_bad_cast() { throw bad_cast(); }
void __throw_bad_typeid() { throw bad_typeid(); }
void __throw_logic_error(const char* what) { throw LibraryError(what); }
void __throw_domain_error(const char* what) { throw LibraryError(what); }
void __throw_invalid_argument(const char* what) { throw LibraryError(what); }
void __throw_length_error(const char* what) { throw LibraryError(what); }
void __throw_out_of_range(const char* what) { throw LibraryError(what); }
void __throw_out_of_range_fmt(const char* what, ...) { throw LibraryError(what); }
void __throw_runtime_error(const char* what) { throw LibraryError(what); }
void __throw_range_error(const char* what) { throw LibraryError(what); }
void __throw_overflow_error(const char* what) { throw LibraryError(what); }
void __throw_underflow_error(const char* what) { throw LibraryError(what); }

}  // namespace std
