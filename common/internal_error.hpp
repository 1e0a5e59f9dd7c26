#pragma once
// A broken internal invariant (a programming error, never reachable from input) aborts the call
// with this one exception type. Worker threads carry it back to the caller; the Python layer turns
// it into an exception derived from BaseException. Nothing else in the libraries throws.
#include <exception>
#include <string>

namespace qelvo {

class InternalError : public std::exception {
 public:
  explicit InternalError(std::string what) : what_(std::move(what)) {}
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string what_;
};

[[noreturn]] inline void internal_error(const char* what) { throw InternalError(what); }

}  // namespace qelvo
