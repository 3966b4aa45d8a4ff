// The C++ runtime throws length, logic and range errors (a vector asked for more than
// max_size, a string made from a null pointer, a position past the end) as exception
// classes that carry their message in a string of their own, and the code that throws
// them brings the runtime's whole std::string with it (about 100 KB of setup.exe). No path
// of the wizard asks for these on purpose; where one happens, it is a request that cannot
// be met, and every handler of the program (storage, engine, pages) takes std::bad_alloc
// as exactly that. So the program throws a bad_alloc that keeps the runtime's message.
#include <new>

namespace {

class RequestNotMet final : public std::bad_alloc {
 public:
  explicit RequestNotMet(const char* what) noexcept : what_(what) {}
  const char* what() const noexcept override { return what_ ? what_ : "std::bad_alloc"; }

 private:
  const char* what_;
};

}  // namespace

namespace std {
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_length_error(const char* what) { throw RequestNotMet(what); }
void __throw_logic_error(const char* what) { throw RequestNotMet(what); }
void __throw_out_of_range(const char* what) { throw RequestNotMet(what); }
// The message is the runtime's format string, unformatted.
void __throw_out_of_range_fmt(const char* format, ...) { throw RequestNotMet(format); }
}  // namespace std
