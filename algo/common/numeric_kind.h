// Element types of the numeric reading columns the native kernels read, and
// the one dispatch from a runtime kind to code instantiated per type.
// Python-free.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

namespace algo {

enum class NumKind { f64, f32, i8, i16, i32, i64, u8, u16, u32, u64 };

template <class T>
struct TypeTag {
    using type = T;
};

// f(TypeTag<T>{}) for the element type T of `kind`.
template <class F>
decltype(auto) visit_kind(NumKind kind, F&& f) {
    switch (kind) {
        case NumKind::f32:
            return f(TypeTag<float>{});
        case NumKind::i8:
            return f(TypeTag<std::int8_t>{});
        case NumKind::i16:
            return f(TypeTag<std::int16_t>{});
        case NumKind::i32:
            return f(TypeTag<std::int32_t>{});
        case NumKind::i64:
            return f(TypeTag<std::int64_t>{});
        case NumKind::u8:
            return f(TypeTag<std::uint8_t>{});
        case NumKind::u16:
            return f(TypeTag<std::uint16_t>{});
        case NumKind::u32:
            return f(TypeTag<std::uint32_t>{});
        case NumKind::u64:
            return f(TypeTag<std::uint64_t>{});
        case NumKind::f64:
            break;
    }
    return f(TypeTag<double>{});
}

// A missing value: NaN for the float kinds; integers have none.
template <class T>
inline bool is_missing(T v) {
    if constexpr (std::is_floating_point_v<T>)
        return std::isnan(v);
    else
        return false;
}

// b - a and b + a in T's own arithmetic, as NumPy computes them on values
// of T: integers wrap around (computed unsigned, so int64 wraps without
// overflow).
template <class T>
inline T own_difference(T b, T a) {
    if constexpr (std::is_floating_point_v<T>) {
        return b - a;
    } else {
        using U = std::make_unsigned_t<T>;
        return static_cast<T>(static_cast<U>(static_cast<U>(b) - static_cast<U>(a)));
    }
}

template <class T>
inline T own_product(T b, T a) {
    if constexpr (std::is_floating_point_v<T>) {
        return b * a;
    } else {
        using U = std::make_unsigned_t<T>;
        return static_cast<T>(static_cast<U>(static_cast<U>(b) * static_cast<U>(a)));
    }
}

template <class T>
inline T own_sum(T b, T a) {
    if constexpr (std::is_floating_point_v<T>) {
        return b + a;
    } else {
        using U = std::make_unsigned_t<T>;
        return static_cast<T>(static_cast<U>(static_cast<U>(b) + static_cast<U>(a)));
    }
}

}  // namespace algo
