// The stage type's wrapper: std23::move_only_function.
//
// Every stage of a read stream (the sink a device receives, the module's
// consumers and its alignment stage) is a move-only owning callable. The
// contract names it std23::move_only_function; it is C++23's
// std::move_only_function under that name, so a plugin builds with
// -std=c++23 and needs nothing else.
#pragma once

#include <functional>

#if !defined(__cpp_lib_move_only_function)
#error "tavo: std::move_only_function is required; compile with -std=c++23 (g++ 12 or later)"
#endif

namespace std23 {
using std::move_only_function;
}  // namespace std23
