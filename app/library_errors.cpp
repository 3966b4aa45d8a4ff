// The C++ runtime throws length, logic and range errors (a vector asked for more than
// max_size, a string made from a null pointer, a position past the end) as exception
// classes that carry their message in a string of their own, and the code that throws
// them brings the runtime's whole std::string with it (about 100 KB of setup.exe). The
// program throws its own, by what they mean:
// - a request for more than a container can hold cannot be met, like one for more memory
//   than there is: it is thrown as a std::bad_alloc (keeping the runtime's message),
//   which every handler of the program takes as memory that ran out;
// - a logic or range error is a fault of the program, which no handler may take for
//   anything else: it ends the program at once through std::terminate, whose handler
//   (app/terminate_handler.cpp) says what it was.
#include <exception>
#include <new>

namespace {

// An exception of kind Base that carries the runtime's message.
template <typename Base>
class WithMessage final : public Base {
 public:
  explicit WithMessage(const char* what) noexcept : what_(what) {}
  const char* what() const noexcept override { return what_ ? what_ : Base::what(); }

 private:
  const char* what_;
};
using RequestNotMet = WithMessage<std::bad_alloc>;
using ProgramFault = WithMessage<std::exception>;

// Thrown from a function that may not throw: the runtime calls std::terminate with the
// fault as its current exception, before any handler of the program could see it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wterminate"
[[noreturn]] void EndWithFault(const char* what) noexcept { throw ProgramFault(what); }
#pragma GCC diagnostic pop

}  // namespace

namespace std {
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_length_error(const char* what) { throw RequestNotMet(what); }
void __throw_logic_error(const char* what) { EndWithFault(what); }
void __throw_out_of_range(const char* what) { EndWithFault(what); }
// The message is the runtime's format string, unformatted.
void __throw_out_of_range_fmt(const char* format, ...) { EndWithFault(format); }
}  // namespace std
