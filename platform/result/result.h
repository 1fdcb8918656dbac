// A value, or what went wrong: what every fallible platform call and factory
// returns instead of throwing, so that the tools decide what is fatal and
// which of their own messages to print.
//
// A failure carries the underlying library's own text and, where the call
// takes several steps, the step that failed ("opening the H.264 encoder").
// error() is the library's text alone (what the tools print where their
// messages quote the library); described() joins the step and the text.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace platform {

struct Failure {
    std::string text;  // the library's own words
    std::string step;  // what was being done; empty when the text says it all

    std::string described() const { return step.empty() ? text : step + ": " + text; }
};

template <class T>
class Result {
  public:
    Result(T value) : v_(std::move(value)) {}
    Result(Failure failure) : v_(std::move(failure)) {}
    static Result failure(std::string text, std::string step = {}) {
        return Result(Failure{std::move(text), std::move(step)});
    }

    bool ok() const { return v_.index() == 0; }
    const T& value() const { return std::get<0>(v_); }
    T& value() { return std::get<0>(v_); }

    const Failure& failed() const { return std::get<1>(v_); }
    const std::string& error() const { return failed().text; }
    const std::string& step() const { return failed().step; }
    std::string described() const { return failed().described(); }

  private:
    std::variant<T, Failure> v_;
};

// The form for calls that give back nothing but success or a failure.
template <>
class Result<void> {
  public:
    Result() = default;
    Result(Failure failure) : failure_(std::move(failure)) {}
    static Result success() { return {}; }
    static Result failure(std::string text, std::string step = {}) {
        return Result(Failure{std::move(text), std::move(step)});
    }

    bool ok() const { return !failure_; }
    const Failure& failed() const { return *failure_; }
    const std::string& error() const { return failed().text; }
    const std::string& step() const { return failed().step; }
    std::string described() const { return failed().described(); }

  private:
    std::optional<Failure> failure_;
};

}  // namespace platform
