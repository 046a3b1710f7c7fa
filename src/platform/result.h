// What a fallible operation gives back: its value, or why it failed. One style
// for the operations that may fail, in place of a bool with an error text
// beside it or -1 with the exception swallowed.
#pragma once

#include <cstring>
#include <string>
#include <utility>
#include <variant>

namespace psf {

// Why an operation failed: a text for a person, and the errno when the
// system said so (0 otherwise).
struct Error {
    std::string text;
    int number = 0;
};

// "WHAT: the system's words for `number`", the number kept.
inline Error system_error(const std::string& what, int number) {
    return {what + ": " + std::strerror(number), number};
}

template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : held_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : held_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return held_.index() == 0; }
    explicit operator bool() const { return ok(); }
    // Only when ok().
    T& value() & { return std::get<0>(held_); }
    const T& value() const& { return std::get<0>(held_); }
    T&& value() && { return std::get<0>(std::move(held_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    // Only when !ok().
    const Error& error() const { return std::get<1>(held_); }

  private:
    std::variant<T, Error> held_;
};

// An operation that gives nothing back but may fail.
template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Error error) : error_(std::move(error)), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return error_; }  // only when !ok()

  private:
    Error error_;
    bool failed_ = false;
};

}  // namespace psf
