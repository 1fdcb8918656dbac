// A value, or the underlying library's error text: what every platform
// service returns instead of throwing, so that the tools decide what is fatal.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace platform {

template <class T>
class Result {
  public:
    Result(T value) : v_(std::move(value)) {}
    static Result failure(std::string text) { return Result(Error{std::move(text)}); }
    bool ok() const { return v_.index() == 0; }
    const T& value() const { return std::get<0>(v_); }
    T& value() { return std::get<0>(v_); }
    const std::string& error() const { return std::get<1>(v_).text; }

  private:
    struct Error {
        std::string text;
    };
    explicit Result(Error e) : v_(std::move(e)) {}
    std::variant<T, Error> v_;
};

}  // namespace platform
