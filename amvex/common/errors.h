// common/errors: the one family of errors the library raises inside itself, and the
// guard every export runs in, which keeps them from crossing into a host.
#pragma once
#include <stdexcept>
#include <string>

namespace amx {

// Base of every error the library raises.
class EAmvex : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Storage the page allocator could not give: "VirtualAlloc(<bytes>)".
class EOutOfMemory : public EAmvex {
public:
  using EAmvex::EAmvex;
};

// A read past the end of a memory stream: "Stream read error".
class EReadError : public EAmvex {
public:
  EReadError() : EAmvex("Stream read error") {}
};

// An argument outside what an internal operation accepts.
class EInvalidArgument : public EAmvex {
public:
  using EAmvex::EAmvex;
};

// A Butterworth design that failed; Status is the BFSet status it stands for.
class EButtFilter : public EAmvex {
public:
  EButtFilter(int status, const std::string& text) : EAmvex(text), Status(status) {}
  int Status;
};

// The C boundary: runs op and returns its result, or `failure` for any error it
// raised, so that no C++ error reaches the host.
template <class R, class Op>
R Guarded(R failure, Op&& op) noexcept
{
  try {
    return op();
  } catch (...) {
    return failure;
  }
}

// The same for operations without a result (a failed one changes nothing more).
template <class Op>
void Guarded(Op&& op) noexcept
{
  Guarded(0, [&] { return op(), 0; });
}

}  // namespace amx
