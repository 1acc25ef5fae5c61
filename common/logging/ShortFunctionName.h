#pragma once
// The short name of a function signature as the compiler's pretty-function
// text gives it: the qualified name without return type, calling convention,
// parameters or qualifiers, and every outermost template argument list
// reduced to "<>". "void __thiscall Ostrel::Service::run(void)" and GCC's
// "void Ostrel::Service::run()" both give "Ostrel::Service::run".
//
// Beyond the MSVC forms it understands GCC's: operator names made of angle
// brackets or parentheses ("operator<<", "operator->", "operator()"), the
// "[with T = ...]" suffix, and local entities such as lambdas, whose
// enclosing function's parameter list ("run()::<lambda()>") is dropped and
// whose marker is written "<lambda>": "Ostrel::Service::run::<lambda>".

#include <ostream>

namespace logging {

// Writes the short name to `out`; allocates nothing.
void writeShortFunctionName(const char* signature, std::ostream& out);

}  // namespace logging
