// The one result type of the library and the module: a value or an error,
// as std::expected (C++23) is. The codec returns Expected<T, CodecError>
// (codec/codec_error.h names it Result<T>); the Python module carries a
// pending Python exception instead (python/errors.h).
#pragma once

#include <utility>
#include <variant>

namespace zelk {

template <typename T, typename E>
class [[nodiscard]] Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }

    E& error() & { return std::get<1>(state_); }
    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }
    // Moves the error out, for `return result.take_error();`.
    E take_error() { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

}  // namespace zelk
