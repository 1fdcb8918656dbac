// The one trampoline through which C code calls into this C++: libuv's
// callbacks here, and the add-on's Node-API exports and hooks. A C++ exception
// must never unwind into C frames (libuv's loop, the JavaScript runtime):
// whatever `body` throws stops here and `onThrow` runs instead; whatever that
// throws is dropped too, and the result is then a value-initialised one.
#pragma once

#include <type_traits>

namespace xdnd {

template <class Body, class OnThrow>
auto guarded(Body&& body, OnThrow&& onThrow) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (...) {
    }
    try {
        return onThrow();
    } catch (...) {
    }
    if constexpr (!std::is_void_v<decltype(body())>) return decltype(body()){};
}

}  // namespace xdnd
