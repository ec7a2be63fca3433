// The Python callback of a read stream, and the consumer that calls it.
//
// Design: the consumer is the stage the stream's worker thread calls for each
// event. It takes the interpreter lock for one delivery (a fresh interpreter
// thread state each time, through the binding library's scoped acquisition),
// converts the arguments, calls the callback, and drops everything before
// releasing the lock. Failures of a delivery are logged as
// "Error in callback: {}" and never propagate.
//
// Lifetime of the callback: the consumer holds the only native reference.
// It is dropped on the worker thread with the lock held, right after the
// Stop delivery or when the consumer is destroyed. Once the process is
// exiting (see exit_guard.hpp) it is leaked instead: taking the lock while
// the interpreter finalizes ends the thread.
#pragma once

#include <optional>
#include <string>

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

namespace pytavo {

// A callback as the start methods receive it: a Python callable, None (an
// empty callback, whose every delivery fails), or a stateless native function
// of exactly the native signature, which is called directly without the lock.
template <typename Record>
struct StreamCallback {
    using Native = void (*)(std::optional<Record>, std::optional<std::string>);
    pybind11::object function;  // empty for None and for a native function
    Native native = nullptr;
};

}  // namespace pytavo

namespace pybind11::detail {

template <typename Record>
struct type_caster<pytavo::StreamCallback<Record>> {
    using Signature = void(std::optional<Record>, std::optional<std::string>);
    PYBIND11_TYPE_CASTER(pytavo::StreamCallback<Record>,
                         const_name("Callable[[") + make_caster<std::optional<Record>>::name + const_name(", ") +
                             make_caster<std::optional<std::string>>::name + const_name("], None]"));

    bool load(handle src, bool convert) {
        if (src.is_none()) return true;
        if (!isinstance<function>(src)) return false;
        // The binding library's own unwrapping finds a stateless native
        // function of the same signature; anything else stays a Python call.
        make_caster<std::function<Signature>> inner;
        if (!inner.load(src, convert)) return false;
        auto& loaded = static_cast<std::function<Signature>&>(inner);
        if (auto* target = loaded.template target<Signature*>()) {
            value.native = *target;
        } else {
            value.function = reinterpret_borrow<object>(src);
        }
        return true;
    }

    static handle cast(const pytavo::StreamCallback<Record>&, return_value_policy, handle) {
        return none().release();
    }
};

}  // namespace pybind11::detail
